// VelmoraFlashTool_x64: the upgrade program. Of its own it reads only
// --help and --version (answered without a display); the toolkit's standard
// options still work. The exit status is 0 unless the library has another
// interface version (1) or the running instance could not be reached (2).
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "AppVersion.h"
#include "ApplicationSetup.h"
#include "FirmwareLibrary.h"
#include "QtAppPlatform.h"
#include "VlmFwUpgradeApp.h"

namespace {

const char kUsage[] =
    "usage: VelmoraFlashTool_x64\n"
    "Upgrades the firmware of a Velmora USB audio interface: pick the device and the\n"
    "firmware image (.vld) in the window, confirm, and follow the download.\n"
    "The devices come from the driver service velmora-driverd (socket: $VLMU_DRIVER_SOCKET,\n"
    "else $XDG_RUNTIME_DIR/velmora/driver.sock when it exists, else /run/velmora/driver.sock).\n"
    "  -h, --help     show this help\n"
    "  -v, --version  show the program's version\n";

// --help and --version; false for any other command line.
bool AnswerInformationOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
      std::printf("%s %s\n", VLMAPP_DEFAULT_NAME, VLMAPP_VERSION_TEXT);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerInformationOption(argc, argv)) return 0;
  QApplication application(argc, argv);
  vlmqt::SetUpApplication();

  const auto library = vlmapp::CreateExportedLibrary();
  vlmqt::QtAppPlatform platform;
  vlmapp::VlmFwUpgradeApp app(platform, *library);
  return vlmapp::VlmFwUpgradeApp::ExitStatus(app.InitInstance());
}
