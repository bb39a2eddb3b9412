#include "WindowPlacement.h"

#include <QScreen>
#include <algorithm>

namespace vlmqt {

void CentreOverOwner(QWidget* dialog) {
  const QWidget* owner = dialog->parentWidget() != nullptr ? dialog->parentWidget()->window() : nullptr;
  if (owner == nullptr || !owner->isVisible()) return;
  // The dialog's frame is not known before it is shown: it is taken to be as
  // wide as the owner's, which the same window manager drew.
  const QRect ownerFrame = owner->frameGeometry();
  const QSize frame = dialog->size() + (ownerFrame.size() - owner->geometry().size());
  QPoint topLeft(ownerFrame.x() + (ownerFrame.width() - frame.width()) / 2,
                 ownerFrame.y() + (ownerFrame.height() - frame.height()) / 2);
  if (const QScreen* screen = owner->screen()) {
    const QRect area = screen->availableGeometry();
    topLeft.setX(std::max(area.left(), std::min(topLeft.x(), area.x() + area.width() - frame.width())));
    topLeft.setY(std::max(area.top(), std::min(topLeft.y(), area.y() + area.height() - frame.height())));
  }
  dialog->move(topLeft);
}

}  // namespace vlmqt
