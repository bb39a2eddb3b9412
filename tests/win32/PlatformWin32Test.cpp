// The Windows services behind the platform interfaces, under Wine: the INI
// through the system's private-profile functions, kernel events, file
// attributes, the module path, setupapi.dll bound by name, the driver path
// and the hidden notification window; then the transport and the tracking
// against devices of the test fixture (scripts/test-windows.sh).
#include <windows.h>

#include <dbt.h>
#include <winioctl.h>
#include <winusb.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/CPnPNotificator.h"
#include "device/DeviceCodes.h"
#include "device/VlmuDevice.h"
#include "device/VlmuDeviceSet.h"
#include "dfu/ControlRequest.h"
#include "platform/DeviceFile.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/Module.h"
#include "platform/PrivateProfile.h"
#include "platform/posix/DriverSocket.h"
#include "support/ServiceControl.h"
#include "support/TempDir.h"

namespace {

using testsupport::DeviceDescription;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

constexpr const char* kInterfaceClassText = "{49F4A1FF-55DD-4d45-9743-7B623EFF0361}";

platform::Guid InterfaceClass() {
  platform::Guid guid;
  EXPECT_TRUE(VlmuDeviceSet::GuidFromNarrowText(kInterfaceClassText, guid));
  return guid;
}

// ---- The driver's request layouts against the system's definitions ----

// The three I/O control codes: device type 0x8089, FILE_ANY_ACCESS, METHOD_BUFFERED.
static_assert(static_cast<uint32_t>(CTL_CODE(0x8089, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)) ==
                  platform::kIoctlGetDescriptor,
              "descriptor request");
static_assert(static_cast<uint32_t>(CTL_CODE(0x8089, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)) ==
                  platform::kIoctlControlRequest,
              "control request");
static_assert(static_cast<uint32_t>(CTL_CODE(0x8089, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS)) ==
                  platform::kIoctlCyclePort,
              "cycle port");
// The control request header ends in the fields of a USB setup packet after
// its request type byte: 16 = 8 + the 8-byte setup packet.
static_assert(sizeof(WINUSB_SETUP_PACKET) == 8, "setup packet");
static_assert(dfu::kControlHeaderSize == 8 + sizeof(WINUSB_SETUP_PACKET), "control request header");

TEST(Win32ControlHeader, EndsInTheSetupPacketFields) {
  const dfu::ControlSetup setup{dfu::kDirDeviceToHost, dfu::kTypeClass, dfu::kRecipientInterface, 3, 0x1234, 0x0002, 6};
  uint8_t header[dfu::kControlHeaderSize];
  dfu::WriteControlHeader(header, setup);
  WINUSB_SETUP_PACKET packet{};
  packet.RequestType = 0xA1;  // device-to-host, class, interface
  packet.Request = 3;
  packet.Value = 0x1234;
  packet.Index = 0x0002;
  packet.Length = 6;
  uint8_t packetBytes[sizeof packet];
  std::memcpy(packetBytes, &packet, sizeof packet);
  EXPECT_EQ(std::memcmp(header + 9, packetBytes + 1, sizeof packet - 1), 0);
}

// ---- INI through GetPrivateProfileStringA / WritePrivateProfileStringA ----

TEST(Win32PrivateProfile, WritesAndReadsWithoutRegardToCase) {
  TempDir dir;
  const std::string ini = dir.File("velmora_dfu_x64.cfg");
  ASSERT_TRUE(platform::WriteProfileValue("LogFile", "MaxSize", "256000", ini.c_str()));
  ASSERT_TRUE(platform::WriteProfileValue("LogType1", "Name", "ERROR", ini.c_str()));
  EXPECT_EQ(platform::ReadProfileValue("logfile", "MAXSIZE", "", ini.c_str()), "256000");
  EXPECT_EQ(platform::ReadProfileValue("LOGTYPE1", "name", "", ini.c_str()), "ERROR");
  EXPECT_EQ(platform::ReadProfileValue("LogFile", "PathAndName", "none", ini.c_str()), "none");
  EXPECT_EQ(platform::ReadProfileValue("Missing", "Key", "", ini.c_str()), "");
}

TEST(Win32PrivateProfile, RewritesOnlyTheKeyLine) {
  TempDir dir;
  const std::string ini = dir.File("edit.cfg");
  WriteFile(ini, "; kept\r\n[Common]\r\nModuleToken=OLD\r\nOther=1\r\n[LogFile]\r\nMaxSize=5\r\n");
  ASSERT_TRUE(platform::WriteProfileValue("common", "moduletoken", "VLMUFWDL", ini.c_str()));
  const std::string content = ReadFile(ini);
  EXPECT_NE(content.find("; kept\r\n[Common]\r\n"), std::string::npos) << content;
  EXPECT_NE(content.find("=VLMUFWDL\r\nOther=1\r\n[LogFile]\r\nMaxSize=5\r\n"), std::string::npos) << content;
  EXPECT_EQ(content.find("OLD"), std::string::npos) << content;
}

TEST(Win32PrivateProfile, LongValuesAreReadWhole) {
  TempDir dir;
  const std::string ini = dir.File("long.cfg");
  const std::string path(700, 'p');
  ASSERT_TRUE(platform::WriteProfileValue("LogFile", "PathAndName", path.c_str(), ini.c_str()));
  EXPECT_EQ(platform::ReadProfileValue("LogFile", "PathAndName", "", ini.c_str()), path);
}

// ---- Events ----

TEST(Win32Event, AutoResetReleasesOneWaitManualResetStays) {
  uint32_t error = 1;
  auto autoReset = platform::CreateSyncEvent(false, true, &error);
  ASSERT_TRUE(autoReset);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(autoReset->Wait(0), platform::WaitResult::Signalled);
  EXPECT_EQ(autoReset->Wait(0), platform::WaitResult::Timeout);

  auto manual = platform::CreateSyncEvent(true, false);
  ASSERT_TRUE(manual);
  EXPECT_EQ(manual->Wait(20), platform::WaitResult::Timeout);
  ASSERT_TRUE(manual->Set());
  EXPECT_EQ(manual->Wait(0), platform::WaitResult::Signalled);
  EXPECT_EQ(manual->Wait(platform::kInfinite), platform::WaitResult::Signalled);
  ASSERT_TRUE(manual->Reset());
  EXPECT_EQ(manual->Wait(0), platform::WaitResult::Timeout);
}

TEST(Win32Event, SetFromAnotherThreadEndsAnUnboundedWait) {
  auto event = platform::CreateSyncEvent(false, false);
  ASSERT_TRUE(event);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID e) -> DWORD {
        Sleep(20);
        static_cast<platform::Event*>(e)->Set();
        return 0;
      },
      event.get(), 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(event->Wait(10000), platform::WaitResult::Signalled);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// ---- Module ----

TEST(Win32Module, ThisModuleIsTheProgramAndNamesItsFile) {
  std::string path;
  ASSERT_EQ(platform::ModuleFilePath(platform::ThisModule(), path), 0u);
  char expected[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(nullptr, expected, MAX_PATH), 0u);
  EXPECT_EQ(path, expected);
  EXPECT_EQ(path.substr(path.size() - std::strlen("wine_platform_tests.exe")), "wine_platform_tests.exe");
  EXPECT_EQ(platform::ThisModule(), static_cast<const void*>(GetModuleHandleA(nullptr)));
  EXPECT_NE(platform::ModuleFilePath(nullptr, path), 0u);
  EXPECT_TRUE(path.empty());
}

// ---- setupapi.dll bound by name, enumeration ----

TEST(Win32SetupApi, BindsTheFiveEntryPointsByName) {
  SetupFunctionTable table;
  ASSERT_TRUE(BindSetupLibrary(table));
  EXPECT_EQ(reinterpret_cast<HMODULE>(table.module), GetModuleHandleA("setupapi.dll"));
  EXPECT_EQ(reinterpret_cast<const void*>(table.SetupDiGetClassDevsA),
            reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleA("setupapi.dll"), "SetupDiGetClassDevsA")));
  EXPECT_NE(table.SetupDiDestroyDeviceInfoList, nullptr);
  EXPECT_NE(table.SetupDiEnumDeviceInterfaces, nullptr);
  EXPECT_NE(table.SetupDiGetDeviceInterfaceDetailA, nullptr);
  EXPECT_NE(table.SetupDiEnumDeviceInfo, nullptr);

  SetupFunctionTable missing;
  EXPECT_FALSE(BindSetupLibrary(missing, "no_such_setup_library.dll"));
  EXPECT_EQ(missing.module, nullptr);
  EXPECT_EQ(missing.SetupDiGetClassDevsA, nullptr);
}

TEST(Win32SetupApi, NoDevicesOfTheClassEnumerateAsZero) {
  VlmuDeviceSet set;
  EXPECT_EQ(set.Enumerate(kInterfaceClassText), 0u);
  EXPECT_EQ(set.DeviceCount(), 0u);
  // Twice: the first set is destroyed before the second is built.
  EXPECT_EQ(set.Enumerate(InterfaceClass()), 0u);
  EXPECT_EQ(set.DeviceCount(), 0u);
  EXPECT_EQ(set.Enumerate(static_cast<const char*>(nullptr)), VLMU_E_NULL_TEXT);
  EXPECT_EQ(set.Enumerate("{49F4A1FF-55DD-4d45-9743-7B623EFF036}"), VLMU_E_FAILED);
}

TEST(Win32SetupApi, OpeningIndexZeroOfAnEmptySetFindsNoInterface) {
  VlmuDeviceSet set;
  ASSERT_EQ(set.Enumerate(kInterfaceClassText), 0u);
  VlmuDevice device;
  const platform::Guid guid = InterfaceClass();
  EXPECT_EQ(device.Open(0, set.DeviceInfo(), &guid), VLMU_E_NO_MORE_DEVICES);
  EXPECT_FALSE(device.IsOpen());
}

// ---- The driver path ----

TEST(Win32DeviceFile, FixedPathWithoutTheDriverDoesNotExist) {
  VlmuDevice device;
  const platform::Guid guid = InterfaceClass();
  EXPECT_EQ(device.Open(0, nullptr, &guid), VLMU_E_PATH_NOT_FOUND);
  EXPECT_FALSE(device.IsOpen());
  uint8_t descriptor[18];
  std::memset(descriptor, 0xAA, sizeof descriptor);
  EXPECT_EQ(device.GetDeviceDescriptor(descriptor), VLMU_E_DEVICE_NOT_OPEN);
  EXPECT_EQ(descriptor[0], 0);
  EXPECT_EQ(device.StartPnPTracking(), VLMU_E_DEVICE_NOT_OPEN);
}

TEST(Win32DeviceFile, BogusInterfacePathFailsWithTheSystemError) {
  std::unique_ptr<platform::DeviceFile> file;
  const uint32_t error =
      platform::OpenDeviceFile("\\\\?\\usb#vid_0000&pid_0000#0#{49f4a1ff-55dd-4d45-9743-7b623eff0361}", file);
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(file);
}

// ---- Hidden notification window ----

class RecordingHandler : public CPnPNotifyHandler {
 public:
  void OnDeviceChange(uint32_t message, uintptr_t wParam, const void* lParam) override {
    const auto* record = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
    lastMessage = message;
    lastEvent = wParam;
    lastName = record != nullptr ? record->dbcc_name : "";
    lastThread = GetCurrentThreadId();
    ++calls;
  }
  std::atomic<int> calls{0};
  uint32_t lastMessage = 0;
  uintptr_t lastEvent = 0;
  std::string lastName;
  DWORD lastThread = 0;
};

TEST(Win32Notificator, HiddenWindowRegistersAndDeliversDeviceChanges) {
  RecordingHandler handler;
  CPnPNotificator notificator;
  ASSERT_TRUE(notificator.Initialize(platform::ThisModule(), &handler));
  const platform::Guid guid = InterfaceClass();
  ASSERT_TRUE(notificator.EnableDeviceNotifications(guid));
  EXPECT_EQ(notificator.RegistrationCount(), 1u);

  HWND window = FindWindowA(CPnPNotificator::kWindowClassName, CPnPNotificator::kWindowTitle);
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetWindowLongA(window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
  const DWORD windowThread = GetWindowThreadProcessId(window, nullptr);
  EXPECT_NE(windowThread, GetCurrentThreadId());

  // What the system sends on an arrival: the record with the interface path.
  const std::string path = "\\\\?\\USB#VID_1234&PID_5678#1#{49f4a1ff-55dd-4d45-9743-7b623eff0361}";
  std::vector<uint64_t> storage((offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 8) / 8, 0);
  auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage.data());
  record->dbcc_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1);
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(record->dbcc_name, path.c_str(), path.size() + 1);
  EXPECT_EQ(SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(record)), 0);
  EXPECT_EQ(handler.calls.load(), 1);
  EXPECT_EQ(handler.lastMessage, static_cast<uint32_t>(WM_DEVICECHANGE));
  EXPECT_EQ(handler.lastEvent, static_cast<uintptr_t>(DBT_DEVICEARRIVAL));
  EXPECT_EQ(handler.lastName, path);
  EXPECT_EQ(handler.lastThread, windowThread);

  EXPECT_TRUE(notificator.DisableDeviceNotifications(guid));
  EXPECT_EQ(notificator.RegistrationCount(), 0u);
  EXPECT_TRUE(notificator.Shutdown());
  EXPECT_EQ(FindWindowA(CPnPNotificator::kWindowClassName, CPnPNotificator::kWindowTitle), nullptr);
  // The class was unregistered with the window's thread: a second start works.
  ASSERT_TRUE(notificator.Initialize(platform::ThisModule(), &handler));
  EXPECT_TRUE(notificator.EnableDeviceNotifications(guid));
  EXPECT_TRUE(notificator.Shutdown());
  EXPECT_EQ(notificator.RegistrationCount(), 0u);
}

TEST(Win32Notificator, WithoutAnInstanceNothingStarts) {
  RecordingHandler handler;
  CPnPNotificator notificator;
  EXPECT_FALSE(notificator.Initialize(nullptr, &handler));
  EXPECT_FALSE(notificator.IsInitialized());
  EXPECT_FALSE(notificator.EnableDeviceNotifications(InterfaceClass()));
}

// ---- Against the fixture's devices: the driver, its codes, its notifications ----

// Records every device-interface event with its path.
class EventLog : public CPnPNotifyHandler {
 public:
  void OnDeviceChange(uint32_t, uintptr_t wParam, const void* lParam) override {
    const auto* record = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
    std::lock_guard<std::mutex> lock(mMutex);
    mEvents.emplace_back(wParam, record != nullptr ? record->dbcc_name : "");
  }
  // Waits up to 20 s for the `nth` event of this kind naming `path` (any case).
  bool WaitFor(uintptr_t event, const std::string& path, int nth = 1) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard<std::mutex> lock(mMutex);
        int seen = 0;
        for (const auto& [e, name] : mEvents) seen += e == event && _stricmp(name.c_str(), path.c_str()) == 0;
        if (seen >= nth) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  std::mutex mMutex;
  std::vector<std::pair<uintptr_t, std::string>> mEvents;
};

class Win32LiveDevice : public ::testing::Test {
 protected:
  void TearDown() override {
    device.Close();
    service.Remove(mId);
    EXPECT_TRUE(WaitForCount(0)) << "the removed device is still listed";
  }
  // Adds a device, waits for it and opens it.
  void AddAndOpen(const DeviceDescription& description) {
    mId = service.AddDevice(description);
    ASSERT_FALSE(mId.empty()) << service.LastError();
    ASSERT_TRUE(WaitForCount(1)) << "the bus did not show " << description.Path();
    const platform::Guid guid = InterfaceClass();
    ASSERT_EQ(0u, device.Open(0, set.DeviceInfo(), &guid));
    device.SetModuleInstance(platform::ThisModule());
  }
  bool WaitForCount(uint32_t count) {
    for (int i = 0; i < 200; ++i) {
      if (set.Enumerate(kInterfaceClassText) == 0 && set.DeviceCount() == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  testsupport::ServiceControl service{platform::DriverSocketPath()};
  VlmuDeviceSet set;
  VlmuDevice device;
  std::string mId;
};

TEST_F(Win32LiveDevice, ArrivalAndRemovalReachTheNotificatorWithThePath) {
  EventLog events;
  CPnPNotificator notificator;
  ASSERT_TRUE(notificator.Initialize(platform::ThisModule(), &events));
  ASSERT_TRUE(notificator.EnableDeviceNotifications(InterfaceClass()));
  const DeviceDescription description = DeviceDescription().Serial("PNP1");
  AddAndOpen(description);
  EXPECT_TRUE(events.WaitFor(DBT_DEVICEARRIVAL, description.Path()));
  ASSERT_TRUE(service.Unplug(mId)) << service.LastError();
  EXPECT_TRUE(events.WaitFor(DBT_DEVICEREMOVECOMPLETE, description.Path()));
  ASSERT_TRUE(service.Plug(mId)) << service.LastError();
  EXPECT_TRUE(events.WaitFor(DBT_DEVICEARRIVAL, description.Path(), 2));
  EXPECT_TRUE(notificator.Shutdown());
}

TEST_F(Win32LiveDevice, PortCycleIsTrackedAndTheSamePathReopened) {
  AddAndOpen(DeviceDescription().Serial("CYCLE1"));
  const std::string before = service.DeviceField(mId, "appearance");
  ASSERT_EQ(0u, device.StartPnPTracking());
  ASSERT_EQ(0u, device.CyclePort());
  EXPECT_EQ(0u, device.CloseAndReopen(true, 20000));
  uint8_t descriptor[18] = {};
  EXPECT_EQ(0u, device.GetDeviceDescriptor(descriptor));
  EXPECT_EQ(0x34, descriptor[8]);  // idVendor 0x1234
  EXPECT_NE(before, service.DeviceField(mId, "appearance")) << "the device did not leave the bus";
}

// What the service answers reaches the transport as the same system error code.
TEST_F(Win32LiveDevice, RequestsAnswerWithTheServicesSystemCodes) {
  AddAndOpen(DeviceDescription().Serial("CODES1"));
  uint32_t returned = 7;
  uint8_t out[8];
  EXPECT_EQ(1u, device.IoControl(0x80892000, nullptr, 0, out, sizeof out, &returned)) << "unknown control code";
  const struct {
    const char* fault;
    uint32_t expected;
  } cases[] = {{R"("action": "stall")", 31},
               {R"("action": "error", "error": 121)", 121},
               {R"("action": "error", "error": 1117)", 1117},
               {R"("action": "unplug")", 1167}};
  for (const auto& c : cases) {
    const int next = std::stoi(service.DeviceField(mId, "requests")) + 1;
    ASSERT_TRUE(
        service.SetBehaviour(mId, "{\"faults\": [{\"request\": " + std::to_string(next) + ", " + c.fault + "}]}"))
        << service.LastError();
    uint8_t descriptor[18];
    EXPECT_EQ(c.expected, device.GetDeviceDescriptor(descriptor)) << c.fault;
  }
}

}  // namespace
