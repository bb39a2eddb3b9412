// vlmu_wine_fixture.exe: the Windows-side steps of the Wine test fixture
// (scripts/test-windows.sh). Test code only.
//
//   install INF             installs the root device "root\vlmutestbus" with
//                           the driver of INF (Wine then loads vlmutestbus.sys)
//   wait-interfaces N MS    waits up to MS milliseconds until exactly N device
//                           interfaces of the vendor driver's class are present;
//                           prints their paths
//   relay-notifications     see RelayNotifications below; runs until ended
//
// Exit status 0 when the step worked; otherwise one line says what failed.
#include <windows.h>

#include <dbt.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr GUID kInterfaceClass = {0x49F4A1FF, 0x55DD, 0x4d45, {0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61}};
constexpr char kHardwareId[] = "root\\vlmutestbus";
constexpr char kInstanceId[] = "ROOT\\VLMUTESTBUS\\0000";
// The library's hidden notification window (CPnPNotificator).
constexpr char kLibraryWindowClass[] = "PnPNotificatorWndCls";

int Fail(const std::string& what) {
  std::printf("vlmu_wine_fixture: %s\n", what.c_str());
  return 1;
}

std::string Error(const char* step) {
  return std::string(step) + " failed with error " + std::to_string(GetLastError());
}

// Creates the root device (once per prefix) and installs the INF's driver on it.
int Install(const char* inf) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail(Error("SetupDiCreateDeviceInfoList"));
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  static const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  const bool created = SetupDiCreateDeviceInfoA(set, kInstanceId, &kSystemClass, nullptr, nullptr, 0, &device);
  if (!created && GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
    const std::string why = Error("SetupDiCreateDeviceInfo");
    SetupDiDestroyDeviceInfoList(set);
    return Fail(why);
  }
  if (created) {
    // The hardware id list ends with an empty string.
    static const char kIds[] = "root\\vlmutestbus\0";
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(kIds),
                                           sizeof kIds) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
      const std::string why = Error("registering the root device");
      SetupDiDestroyDeviceInfoList(set);
      return Fail(why);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  char path[MAX_PATH];
  if (GetFullPathNameA(inf, sizeof path, path, nullptr) == 0) return Fail(Error("GetFullPathName"));
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kHardwareId, path, INSTALLFLAG_FORCE, &reboot)) {
    return Fail(Error("UpdateDriverForPlugAndPlayDevices") + " for " + path);
  }
  std::printf("installed %s on %s\n", path, kInstanceId);
  return 0;
}

std::vector<std::string> PresentInterfaces() {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClass, i, &data); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    std::vector<char> buffer(size + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), '\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, static_cast<DWORD>(buffer.size()), nullptr, nullptr)) {
      paths.emplace_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

int WaitInterfaces(size_t expected, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  std::vector<std::string> paths;
  for (;;) {
    paths = PresentInterfaces();
    if (paths.size() == expected) break;
    if (GetTickCount() - start >= timeoutMs) {
      return Fail(std::to_string(paths.size()) + " interfaces of the class present after " + std::to_string(timeoutMs) +
                  " ms, not " + std::to_string(expected));
    }
    Sleep(100);
  }
  for (const std::string& path : paths) std::printf("%s\n", path.c_str());
  return 0;
}

// Wine 8 hands the wide-character record (DEV_BROADCAST_DEVICEINTERFACE_W)
// even to windows registered with RegisterDeviceNotificationA, whose name
// the library reads as narrow characters, so it never recognises its
// device. Until Wine does that itself (fixed in later versions), this relay
// in the application's session registers for the class with the wide
// function and sends each arrival and removal on as the narrow record to the
// library's hidden windows. Wine copies WM_DEVICECHANGE records across
// processes. The driver cannot do it: winedevice.exe runs in another window
// station.
LRESULT CALLBACK RelayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto* wide = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
  if (message != WM_DEVICECHANGE || (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) ||
      wide == nullptr || wide->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  char name[1024] = {};
  WideCharToMultiByte(CP_ACP, 0, wide->dbcc_name, -1, name, sizeof name - 1, nullptr, nullptr);
  const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + std::strlen(name) + 1;
  std::vector<char> storage(size + 8, '\0');
  auto* narrow = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
  narrow->dbcc_size = static_cast<DWORD>(size);
  narrow->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  narrow->dbcc_classguid = wide->dbcc_classguid;
  std::memcpy(narrow->dbcc_name, name, std::strlen(name) + 1);
  for (HWND target = nullptr; (target = FindWindowExA(nullptr, target, kLibraryWindowClass, nullptr)) != nullptr;) {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(target, WM_DEVICECHANGE, wParam, reinterpret_cast<LPARAM>(narrow), SMTO_ABORTIFHUNG, 2000,
                        &result);
  }
  return TRUE;
}

int RelayNotifications() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = RelayProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"VlmuWineNotificationRelay";
  if (RegisterClassExW(&windowClass) == 0) return Fail(Error("RegisterClassEx"));
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"relay", 0, 0, 0, 0, 0, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  if (window == nullptr) return Fail(Error("CreateWindowEx"));
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kInterfaceClass;
  if (RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) == nullptr) {
    return Fail(Error("RegisterDeviceNotificationW"));
  }
  std::printf("relaying interface notifications to windows of class %s\n", kLibraryWindowClass);
  std::fflush(stdout);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "install" && argc == 3) return Install(argv[2]);
  if (command == "wait-interfaces" && argc == 4) {
    return WaitInterfaces(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10));
  }
  if (command == "relay-notifications" && argc == 2) return RelayNotifications();
  return Fail("usage: vlmu_wine_fixture install INF | wait-interfaces N MS | relay-notifications");
}
