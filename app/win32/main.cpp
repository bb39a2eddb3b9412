// VelmoraFlashTool_x64.exe: the upgrade program's Win32 start. It reads no
// command line; the exit status is 0 unless the library has another interface
// version (1) or the running instance could not be reached (2).
#include <windows.h>

#include <commctrl.h>

#include "FirmwareLibrary.h"
#include "VlmFwUpgradeApp.h"
#include "Win32Views.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);

  const auto library = vlmapp::CreateExportedLibrary();
  vlmwin::Win32AppPlatform platform(instance);
  vlmapp::VlmFwUpgradeApp app(platform, *library);
  return vlmapp::VlmFwUpgradeApp::ExitStatus(app.InitInstance());
}
