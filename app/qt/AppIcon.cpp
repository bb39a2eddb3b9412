#include "AppIcon.h"

#include <QtGlobal>

// The icons live in the view library's resources, which are linked
// statically and so must be registered once by hand (outside any namespace).
static void InitAppResources() { Q_INIT_RESOURCE(app); }

namespace vlmqt {

QIcon AppIcon() {
  InitAppResources();
  QIcon icon;
  icon.addFile(":/velmora/icon-32.png", QSize(32, 32));
  icon.addFile(":/velmora/icon-16.png", QSize(16, 16));
  return icon;
}

}  // namespace vlmqt
