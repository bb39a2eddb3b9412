#include "DialogUnits.h"

#include <QFontMetricsF>
#include <QStringList>
#include <cmath>

namespace vlmqt {

QFont DialogFont() {
  QFont font;
  font.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arimo", "DejaVu Sans"});
  font.setPointSize(8);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetricsF metrics(font);
  // Average width of the 52 letters, rounded as the Windows dialog manager
  // does; the character height in whole pixels as text layout uses it (a
  // fractional height is rounded up, so that a template's text rows fit).
  const int letters =
      static_cast<int>(std::ceil(metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")));
  mBaseWidth = (letters / 26 + 1) / 2;
  mBaseHeight = static_cast<int>(std::ceil(metrics.height()));
  if (mBaseWidth <= 0) mBaseWidth = 6;
  if (mBaseHeight <= 0) mBaseHeight = 13;
}

int DialogUnits::X(int units) const { return (units * mBaseWidth + 2) / 4; }
int DialogUnits::Y(int units) const { return (units * mBaseHeight + 4) / 8; }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  const int left = X(x);
  const int top = Y(y);
  return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

}  // namespace vlmqt
