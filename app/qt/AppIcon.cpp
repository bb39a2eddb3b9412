#include "AppIcon.h"

namespace vlmqt {

QIcon AppIcon() {
  QIcon icon;
  icon.addFile(":/velmora/icon-32.png", QSize(32, 32));
  icon.addFile(":/velmora/icon-16.png", QSize(16, 16));
  return icon;
}

}  // namespace vlmqt
