// VelmoraFlashTool_x64: the upgrade program. It reads no arguments of its own
// (the toolkit's standard ones still work); the exit status is 0 unless the
// library has another interface version (1) or the running instance could not
// be reached (2).
#include <QApplication>

#include "AppIcon.h"
#include "AppVersion.h"
#include "FirmwareLibrary.h"
#include "QtAppPlatform.h"
#include "VlmFwUpgradeApp.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationVersion(VLMAPP_VERSION_TEXT);
  QApplication::setWindowIcon(vlmqt::AppIcon());

  const auto library = vlmapp::CreateExportedLibrary();
  vlmqt::QtAppPlatform platform;
  vlmapp::VlmFwUpgradeApp app(platform, *library);
  return vlmapp::VlmFwUpgradeApp::ExitStatus(app.InitInstance());
}
