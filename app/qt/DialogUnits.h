#pragma once
// Dialog templates are laid out in dialog units, as Windows does: a
// horizontal unit is a quarter of the dialog font's average character width,
// a vertical unit an eighth of its character height.
#include <QFont>
#include <QRect>

namespace vlmqt {

// The dialog font: "MS Sans Serif" 8 point, or the closest sans-serif font
// this system has.
QFont DialogFont();

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int mBaseWidth;
  int mBaseHeight;
};

}  // namespace vlmqt
