#include "AppIcon.h"

#include <QtGlobal>

// The icons live in the view library's resources, which are linked
// statically and so must be registered once by hand (outside any namespace).
static void InitAppResources() { Q_INIT_RESOURCE(app); }

namespace vlmqt {

QIcon AppIcon() {
  InitAppResources();
  QIcon icon;
  // 64 x 64 (rendered from icon.svg) for the 32-pixel places of a screen
  // with twice the pixel density.
  icon.addFile(":/velmora/icon-64.png", QSize(64, 64));
  icon.addFile(":/velmora/icon-32.png", QSize(32, 32));
  icon.addFile(":/velmora/icon-16.png", QSize(16, 16));
  return icon;
}

}  // namespace vlmqt
