// Platform stand-ins of the device layer: GUID text, events, the setup
// library binding and the device information set without a driver service.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceCodes.h"
#include "device/DeviceLogCapture.h"
#include "device/VlmuDeviceSet.h"
#include "platform/Event.h"
#include "platform/Guid.h"
#include "platform/SetupApi.h"

namespace {

using platform::Guid;

std::u16string Wide(const std::string& s) {
  std::u16string w;
  for (char c : s) w.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return w;
}

bool Parse(const std::string& text, Guid& guid) { return platform::GuidFromString(Wide(text).c_str(), guid); }

TEST(GuidText, ParsesTheVendorInterfaceClassInEitherCase) {
  Guid upper, mixed;
  ASSERT_TRUE(Parse("{49F4A1FF-55DD-4D45-9743-7B623EFF0361}", upper));
  ASSERT_TRUE(Parse("{49f4a1ff-55dd-4d45-9743-7b623eff0361}", mixed));
  EXPECT_EQ(upper, mixed);
  EXPECT_EQ(upper.Data1, 0x49F4A1FFu);
  EXPECT_EQ(upper.Data2, 0x55DDu);
  EXPECT_EQ(upper.Data3, 0x4D45u);
  const uint8_t d4[8] = {0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61};
  EXPECT_EQ(std::memcmp(upper.Data4, d4, 8), 0);
  EXPECT_EQ(platform::GuidToString(upper), "{49F4A1FF-55DD-4D45-9743-7B623EFF0361}");
  EXPECT_EQ(platform::GuidToString(upper, true), "{49f4a1ff-55dd-4d45-9743-7b623eff0361}");
  EXPECT_EQ(upper, platform::kVendorInterfaceClass);
  Guid narrow;
  ASSERT_TRUE(platform::GuidFromText("{49f4a1ff-55DD-4d45-9743-7B623EFF0361}", narrow));
  EXPECT_EQ(narrow, upper);
}

TEST(GuidText, RejectsEverythingButTheExactBracedForm) {
  const std::vector<std::string> bad = {
      "",
      "{}",
      "49F4A1FF-55DD-4d45-9743-7B623EFF0361",     // no braces
      "{49F4A1FF-55DD-4d45-9743-7B623EFF0361",    // no closing brace
      "{49F4A1FF-55DD-4d45-9743-7B623EFF0361}x",  // trailing character
      " {49F4A1FF-55DD-4d45-9743-7B623EFF0361}",  // leading blank
      "{49F4A1FF-55DD-4d45-9743-7B623EFF036}",    // short last group
      "{49F4A1FF-55DD-4d45-9743-7B623EFF03610}",  // long last group
      "{49F4A1FG-55DD-4d45-9743-7B623EFF0361}",   // not hex
      "{49F4A1FF_55DD-4d45-9743-7B623EFF0361}",   // wrong separator
      "{49F4A1FF-55DD-4d45-97437B623EFF0361-}",   // separator moved
      "(49F4A1FF-55DD-4d45-9743-7B623EFF0361)",   // wrong brackets
  };
  for (const auto& text : bad) {
    Guid g;
    g.Data1 = 0xABCDEF01;
    EXPECT_FALSE(Parse(text, g)) << text;
    EXPECT_FALSE(platform::GuidFromText(text, g)) << text;
    EXPECT_EQ(g.Data1, 0xABCDEF01u) << "a failed parse must not touch the result: " << text;
  }
  Guid g;
  EXPECT_FALSE(platform::GuidFromString(nullptr, g));
}

TEST(GuidText, NarrowTextIsWidenedAndCutAt99Characters) {
  Guid g;
  EXPECT_TRUE(VlmuDeviceSet::GuidFromNarrowText("{49F4A1FF-55DD-4d45-9743-7B623EFF0361}", g));
  // Longer than 99 characters: only the first 99 are converted, which are no GUID.
  std::string longText = "{49F4A1FF-55DD-4d45-9743-7B623EFF0361}" + std::string(70, ' ');
  EXPECT_FALSE(VlmuDeviceSet::GuidFromNarrowText(longText.c_str(), g));
  // A byte above 0x7F becomes a character above 0xFF80, never a hex digit.
  std::string high = "{49F4A1FF-55DD-4d45-9743-7B623EFF036\xC1}";
  EXPECT_FALSE(VlmuDeviceSet::GuidFromNarrowText(high.c_str(), g));
}

TEST(Events, AutoResetReleasesOneWaitAndTimesOut) {
  auto e = platform::CreateSyncEvent(false, false);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Wait(0), platform::WaitResult::Timeout);
  e->Set();
  EXPECT_EQ(e->Wait(0), platform::WaitResult::Signalled);
  EXPECT_EQ(e->Wait(0), platform::WaitResult::Timeout) << "the wait consumed the signal";
  e->Set();
  e->Reset();
  EXPECT_EQ(e->Wait(0), platform::WaitResult::Timeout);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(e->Wait(60), platform::WaitResult::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  uint32_t error = 99;
  auto e = platform::CreateSyncEvent(true, true, &error);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(e->Wait(0), platform::WaitResult::Signalled);
  EXPECT_EQ(e->Wait(0), platform::WaitResult::Signalled);
  e->Reset();
  EXPECT_EQ(e->Wait(0), platform::WaitResult::Timeout);
}

TEST(Events, SetFromAnotherThreadWakesAnInfiniteWait) {
  auto e = platform::CreateSyncEvent(false, false);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    e->Set();
  });
  EXPECT_EQ(e->Wait(platform::kInfinite), platform::WaitResult::Signalled);
  setter.join();
}

TEST(SetupLibrary, BindsByNameOnceAndFailsCleanlyForAnUnknownLibrary) {
  SetupFunctionTable table;
  EXPECT_FALSE(BindSetupLibrary(table, "nosuchlib.dll"));
  EXPECT_EQ(table.module, nullptr);
  EXPECT_EQ(table.SetupDiGetClassDevsA, nullptr);
  EXPECT_EQ(table.SetupDiEnumDeviceInfo, nullptr);

  ASSERT_TRUE(BindSetupLibrary(table, "SETUPAPI.DLL"));  // names are not case-sensitive
  EXPECT_NE(table.module, nullptr);
  EXPECT_NE(table.SetupDiGetClassDevsA, nullptr);
  EXPECT_NE(table.SetupDiDestroyDeviceInfoList, nullptr);
  EXPECT_NE(table.SetupDiEnumDeviceInterfaces, nullptr);
  EXPECT_NE(table.SetupDiGetDeviceInterfaceDetailA, nullptr);
  EXPECT_NE(table.SetupDiEnumDeviceInfo, nullptr);
  auto* first = table.SetupDiGetClassDevsA;
  EXPECT_TRUE(BindSetupLibrary(table, "nosuchlib.dll")) << "a bound table is kept";
  EXPECT_EQ(table.SetupDiGetClassDevsA, first);
  table.Release();
  EXPECT_EQ(table.module, nullptr);
  EXPECT_EQ(table.SetupDiGetClassDevsA, nullptr);
}

TEST(SetupLibrary, UnknownEntryPointIsNotFound) {
  platform::SystemLibrary* lib = platform::LoadSystemLibrary("setupapi.dll");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(platform::GetProcAddress(lib, "SetupDiGetClassDevsW"), nullptr);
  EXPECT_EQ(platform::GetProcAddress(lib, "setupdigetclassdevsa"), nullptr) << "entry names are exact";
  uint32_t error = 0;
  EXPECT_EQ(platform::LoadSystemLibrary("kernel32.dll", &error), nullptr);
  EXPECT_EQ(error, platform::kErrorModNotFound);
  EXPECT_TRUE(platform::FreeSystemLibrary(lib));
}

class NoService : public ::testing::Test {
 protected:
  devicetest::NoServiceEnvironment env;
  SetupFunctionTable table;
  Guid guid;
  void SetUp() override {
    ASSERT_TRUE(BindSetupLibrary(table, "setupapi.dll"));
    ASSERT_TRUE(VlmuDeviceSet::GuidFromNarrowText("{49F4A1FF-55DD-4d45-9743-7B623EFF0361}", guid));
  }
};

TEST_F(NoService, ClassDevicesAreAnEmptySetAndEnumerationEndsAtOnce) {
  platform::DeviceInfoSet* set = table.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(platform::GetLastSetupError(), 0u);
  platform::DeviceInfoData info{};
  info.cbSize = sizeof info;
  EXPECT_FALSE(table.SetupDiEnumDeviceInfo(set, 0, &info));
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorNoMoreItems);
  platform::DeviceInterfaceData data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(table.SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorNoMoreItems);
  EXPECT_TRUE(table.SetupDiDestroyDeviceInfoList(set));
}

TEST_F(NoService, RecordSizesAndArgumentsAreChecked) {
  EXPECT_EQ(sizeof(platform::DeviceInfoData), 32u);
  EXPECT_EQ(sizeof(platform::DeviceInterfaceData), 32u);
  EXPECT_EQ(sizeof(platform::DeviceInterfaceDetailDataA), 8u);

  EXPECT_EQ(table.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 0x12), nullptr);
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorInvalidParameter);
  EXPECT_EQ(table.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x02), nullptr);
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorInvalidParameter);

  platform::DeviceInfoSet* set = table.SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x12);
  ASSERT_NE(set, nullptr);
  platform::DeviceInfoData info{};
  info.cbSize = 28;  // a 32-bit record size
  EXPECT_FALSE(table.SetupDiEnumDeviceInfo(set, 0, &info));
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorInvalidUserBuffer);
  EXPECT_FALSE(table.SetupDiEnumDeviceInfo(nullptr, 0, &info));
  EXPECT_EQ(platform::GetLastSetupError(), 6u);  // invalid handle
  platform::DeviceInterfaceData data{};
  data.cbSize = sizeof data;
  uint32_t required = 0;
  EXPECT_FALSE(table.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr))
      << "an interface record that no enumeration filled";
  EXPECT_EQ(platform::GetLastSetupError(), platform::kErrorInvalidParameter);
  EXPECT_TRUE(table.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(table.SetupDiDestroyDeviceInfoList(nullptr));
}

TEST_F(NoService, DeviceSetEnumeratesNoDevicesAndKeepsItsSetOnBadText) {
  VlmuDeviceSet set;
  EXPECT_EQ(set.DeviceCount(), 0u);
  EXPECT_EQ(set.DeviceInfo(), nullptr);
  ASSERT_EQ(set.Enumerate("{49F4A1FF-55DD-4d45-9743-7B623EFF0361}"), 0u);
  EXPECT_EQ(set.DeviceCount(), 0u);
  EXPECT_NE(set.DeviceInfo(), nullptr);
  EXPECT_EQ(set.InterfaceGuid(), guid);
  platform::DeviceInfoSet* before = set.DeviceInfo();

  EXPECT_EQ(set.Enumerate(static_cast<const char*>(nullptr)), VLMU_E_NULL_TEXT);
  EXPECT_EQ(set.Enumerate("not a guid"), VLMU_E_FAILED);
  EXPECT_EQ(set.DeviceInfo(), before) << "a text that is no GUID leaves the set alone";
  EXPECT_EQ(set.InterfaceGuid(), guid);

  EXPECT_EQ(set.Clear(), 1u) << "destroying an existing set reports success";
  EXPECT_EQ(set.DeviceInfo(), nullptr);
  EXPECT_TRUE(set.InterfaceGuid().IsZero());
  EXPECT_EQ(set.Clear(), 0u) << "no set to destroy";
}

// ---- enumeration over a stubbed setup table -----------------------------------------

// Replaces entry points of the global setup table for one test and puts the
// bound ones back afterwards.
class StubbedSetup : public ::testing::Test {
 protected:
  devicetest::NoServiceEnvironment env;
  platform::PFN_SetupDiGetClassDevsA savedGetClassDevs = nullptr;
  platform::PFN_SetupDiEnumDeviceInfo savedEnumDeviceInfo = nullptr;
  Guid guid;
  void SetUp() override {
    ASSERT_TRUE(BindSetupLibrary());
    savedGetClassDevs = TheSetupFunctions().SetupDiGetClassDevsA;
    savedEnumDeviceInfo = TheSetupFunctions().SetupDiEnumDeviceInfo;
    ASSERT_TRUE(VlmuDeviceSet::GuidFromNarrowText("{49F4A1FF-55DD-4d45-9743-7B623EFF0361}", guid));
  }
  void TearDown() override {
    TheSetupFunctions().SetupDiGetClassDevsA = savedGetClassDevs;
    TheSetupFunctions().SetupDiEnumDeviceInfo = savedEnumDeviceInfo;
  }
};

// Stub results travel through these (the entry points are plain functions).
std::atomic<uint32_t> gStubError{0};
std::atomic<uint32_t> gStubCalls{0};

platform::SetupBool EnumAlwaysSucceeds(platform::DeviceInfoSet*, uint32_t, platform::DeviceInfoData* d) {
  ++gStubCalls;
  return d != nullptr && d->cbSize == sizeof *d;
}

platform::SetupBool EnumFailsAtTwo(platform::DeviceInfoSet* set, uint32_t index, platform::DeviceInfoData* d) {
  if (index < 2) return EnumAlwaysSucceeds(set, index, d);
  platform::SetLastSetupError(gStubError.load());
  return false;
}

platform::DeviceInfoSet* ClassDevsFails(const Guid*, const char*, void*, uint32_t) {
  platform::SetLastSetupError(gStubError.load());
  return nullptr;
}

TEST_F(StubbedSetup, CountingStopsAtTheLimitAndReportsIt) {
  TheSetupFunctions().SetupDiEnumDeviceInfo = &EnumAlwaysSucceeds;
  gStubCalls = 0;
  VlmuDeviceSet set;
  EXPECT_EQ(set.Enumerate(guid), 0u);
  EXPECT_EQ(set.DeviceCount(), VlmuDeviceSet::kMaxDevices);
  EXPECT_EQ(gStubCalls.load(), VlmuDeviceSet::kMaxDevices);
  EXPECT_EQ(set.InterfaceGuid(), guid);
}

TEST_F(StubbedSetup, FailingClassDevicesAfterAGoodEnumerationEmptiesTheSet) {
  TheSetupFunctions().SetupDiEnumDeviceInfo = &EnumFailsAtTwo;
  gStubError = platform::kErrorNoMoreItems;
  VlmuDeviceSet set;
  ASSERT_EQ(set.Enumerate(guid), 0u);
  ASSERT_EQ(set.DeviceCount(), 2u);
  TheSetupFunctions().SetupDiGetClassDevsA = &ClassDevsFails;
  gStubError = 5;  // access denied
  EXPECT_EQ(set.Enumerate(guid), 5u);
  EXPECT_EQ(set.DeviceCount(), 0u);
  EXPECT_EQ(set.DeviceInfo(), nullptr);
  EXPECT_TRUE(set.InterfaceGuid().IsZero());
  gStubError = 0;  // a failure that leaves no error is a failure all the same
  EXPECT_EQ(set.Enumerate(guid), VLMU_E_FAILED);
}

TEST_F(StubbedSetup, EnumerationErrorOtherThanNoMoreItemsClearsTheSet) {
  TheSetupFunctions().SetupDiEnumDeviceInfo = &EnumFailsAtTwo;
  gStubError = 1167;
  VlmuDeviceSet set;
  EXPECT_EQ(set.Enumerate(guid), 1167u);
  EXPECT_EQ(set.DeviceCount(), 0u);
  EXPECT_EQ(set.DeviceInfo(), nullptr);
  EXPECT_TRUE(set.InterfaceGuid().IsZero());
  gStubError = 0;
  EXPECT_EQ(set.Enumerate(guid), VLMU_E_FAILED);
  EXPECT_EQ(set.DeviceCount(), 0u);
}

}  // namespace
