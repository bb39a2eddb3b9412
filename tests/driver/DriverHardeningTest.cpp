// The driver service against hostile or careless clients: bytes that are not
// UTF-8, wrongly typed command fields, deep or overlong descriptions. After
// each the service must still answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include <nlohmann/json.hpp>

#include "driver/DriverTestUtil.h"

namespace drvtest {
namespace {

using nlohmann::json;
using testsupport::DeviceSpec;
using testsupport::DriverServiceFixture;
using ::testing::HasSubstr;

// The "error" text of a control reply.
std::string ErrorText(const std::string& reply) {
  const json r = json::parse(reply, nullptr, false);
  return r.is_object() && r.contains("error") && r["error"].is_string() ? r["error"].get<std::string>() : reply;
}

class DriverHardeningTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(driver.Start()) << driver.LastError(); }

  // The service is alive and serves a fresh client.
  void ExpectAnswers() {
    ASSERT_TRUE(driver.Running()) << driver.LastError();
    std::string reply;
    EXPECT_EQ(driver.Control(R"({"cmd":"ping"})", reply), 0u) << reply;
    std::unique_ptr<platform::DriverConnection> c;
    ASSERT_EQ(platform::DriverConnection::Connect(c), 0u);
    std::vector<std::string> paths;
    EXPECT_EQ(c->ListInterfaces(VendorClass(), paths), 0u);
  }

  DriverServiceFixture driver;
};

TEST_F(DriverHardeningTest, BytesThatAreNotUtf8TravelAsEscapedTextAndHex) {
  ASSERT_EQ(driver.AddDevice(DeviceSpec().Knob("initialState", "\"dfuIDLE\"")), "dev1") << driver.LastError();
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceSpec().Path()), 0u);
  const std::string latin1("M\xFCller\x80", 7);  // "Müller" in Latin-1, then a stray continuation byte
  ASSERT_EQ(d.SetSerial(0, latin1), 0u);

  // Every command that shows the stored serial number answers, with the
  // bytes escaped in the text and complete in hex.
  const char* commands[] = {R"({"cmd":"list-devices"})", R"({"cmd":"plug","id":"dev1"})",
                            R"({"cmd":"set-behaviour","id":"dev1","behaviour":{}})", R"({"cmd":"get-serial","id":"dev1"})"};
  for (const char* command : commands) {
    std::string reply;
    ASSERT_EQ(driver.Control(command, reply), 0u) << command;
    const json r = json::parse(reply, nullptr, false);
    ASSERT_FALSE(r.is_discarded()) << reply;
    const json& info = r.contains("devices") ? r["devices"][0] : r;
    if (r.contains("serial")) {
      EXPECT_EQ(info["serial"], "M\\xfcller\\x80") << command;
      EXPECT_EQ(info["hex"], "4dfc6c6c657280") << command;
    } else {
      EXPECT_EQ(info["storedSerial"], "M\\xfcller\\x80") << command;
      EXPECT_EQ(info["storedSerialHex"], "4dfc6c6c657280") << command;
    }
  }
  // Well-formed UTF-8 stays as it is.
  ASSERT_EQ(d.SetSerial(0, "M\xC3\xBCller"), 0u);
  std::string serial;
  ASSERT_TRUE(driver.GetSerial("dev1", serial));
  EXPECT_EQ(serial, "M\xC3\xBCller");

  // A client's path that is not UTF-8 reaches the trace in hex.
  Device other;
  ASSERT_EQ(other.Connect(), 0u);
  EXPECT_EQ(other.Open(std::string("\\\\?\\usb#\xFF\xFE", 10)), kErrorFileNotFound);
  bool traced = false;
  for (const auto& e : driver.ReadTrace()) {
    if (e.op != "open" || e.result != kErrorFileNotFound) continue;
    const json line = json::parse(e.raw);
    EXPECT_EQ(line["path"], "\\\\?\\usb#\\xff\\xfe");
    EXPECT_EQ(line["pathHex"], "5c5c3f5c75736223fffe");
    traced = true;
  }
  EXPECT_TRUE(traced);
  ASSERT_TRUE(driver.Unplug("dev1"));
  ExpectAnswers();
}

TEST_F(DriverHardeningTest, WronglyTypedOrOversizedCommandsAreRefusedWithTheDocumentedError) {
  ASSERT_EQ(driver.AddDevice(DeviceSpec()), "dev1") << driver.LastError();
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string deepObject = [] {
    std::string s;
    for (int i = 0; i < 40; ++i) s += R"({"a":)";
    return s + "1" + std::string(40, '}');
  }();
  struct Case {
    std::string command;
    uint32_t expected;
    const char* fragment;
  } cases[] = {
      {R"({"cmd":5})", kErrorInvalidParameter, "\"cmd\" must be a text"},
      {R"({"cmd":["plug"]})", kErrorInvalidParameter, "\"cmd\" must be a text"},
      {R"({"cmd":"trace","on":"yes"})", kErrorInvalidParameter, "\"on\" must be true or false"},
      {R"({"cmd":"trace","file":5})", kErrorInvalidParameter, "\"file\" must be a text"},
      {R"({"cmd":"plug","id":5})", kErrorInvalidParameter, "id"},
      {R"({"cmd":"add-device","description":{"serialNumber":5}})", kErrorInvalidParameter, "serialNumber"},
      {R"({"cmd":"add-device","description":{"id":"x","runtime":{"strings":5}}})", kErrorInvalidParameter, ""},
      {R"({"cmd":"set-behaviour","id":"dev1","behaviour":{"pollTimeout":{"dfuIDLE":"x"}}})", kErrorInvalidParameter,
       "pollTimeout"},
      {R"({"cmd":"set-behaviour","id":"dev1","behaviour":5})", kErrorInvalidParameter, "object"},
      {R"({"cmd":"add-device","description":)" + deep + "}", kErrorInvalidParameter, "nested deeper than 32"},
      {R"({"cmd":"add-device","description":)" + deepObject + "}", kErrorInvalidParameter, "nested deeper than 32"},
      {R"({"cmd":"add-device","description":{"x":")" + std::string(1024 * 1024, 'a') + "\"}}", kErrorInvalidParameter,
       "longer than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(driver.Control(c.command, reply), c.expected) << c.command.substr(0, 80);
    EXPECT_THAT(ErrorText(reply), HasSubstr(c.fragment)) << c.command.substr(0, 80);
    ASSERT_TRUE(driver.Running()) << c.command.substr(0, 80);
  }
  // Brackets inside strings do not count as nesting.
  std::string reply;
  EXPECT_EQ(driver.Control(R"({"cmd":"add-device","description":{"id":"b","serialNumber":")" + std::string(100, '[') +
                               R"("}})",
                           reply),
            0u)
      << reply;
  ExpectAnswers();
}

TEST_F(DriverHardeningTest, DescriptionsBeyondTheProtocolsLimitsAreRefusedAtTheDoor) {
  struct Case {
    json description;
    const char* fragment;
  } cases[] = {
      {{{"serialNumber", std::string(5000, 'S')}}, "serialNumber is longer than 126"},
      {{{"serialNumber", std::string(127, 'S')}}, "serialNumber is longer than 126"},
      {{{"path", std::string(4097, 'p')}}, "path is longer than 4096"},
      {{{"runtime", {{"path", std::string(4097, 'p')}}}}, "runtime.path is longer than 4096"},
      {{{"dfu", {{"path", std::string(4097, 'p')}}}}, "dfu.path is longer than 4096"},
      {{{"id", std::string(257, 'i')}}, "id is longer than 256"},
      {{{"runtime", {{"strings", {{"1", std::string(127, 's')}}}}}}, "strings.1 is longer than 126"},
  };
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_EQ(driver.Control(json{{"cmd", "add-device"}, {"description", c.description}}.dump(), reply),
              kErrorInvalidParameter);
    EXPECT_THAT(ErrorText(reply), HasSubstr(c.fragment));
  }
  // At the limits the device is served, and every client can enumerate it.
  const std::string serial(126, 'S');
  ASSERT_EQ(driver.AddDevice(DeviceSpec().Serial(serial)), "dev1") << driver.LastError();
  json longPath = json::parse(DeviceSpec().Id("dev2").Serial("S2").ToJson());
  longPath["dfu"]["path"] = std::string(4096, 'p');
  ASSERT_EQ(driver.AddDevice(longPath.dump()), "dev2") << driver.LastError();
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(platform::DriverConnection::Connect(c), 0u);
  std::vector<std::string> paths;
  ASSERT_EQ(c->ListInterfaces(VendorClass(), paths), 0u);
  EXPECT_EQ(paths.size(), 2u);
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceSpec().Serial(serial).Path()), 0u);
  const Reply r = d.Descriptor(3, 3, 255, 0x0409);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(r.data.size(), 2u + 2u * 126u);
}

TEST(DriverHardeningStartTest, DeepOrSpecialDescriptionFilesStopTheStartCleanly) {
  DriverServiceFixture driver;
  const std::string deep = driver.TempFile("deep.json");
  testsupport::WriteFile(deep, std::string(400000, '[') + std::string(400000, ']'));
  EXPECT_FALSE(driver.Start({"--device", deep}));
  EXPECT_THAT(driver.LastError(), HasSubstr("nested deeper than 32"));
  testsupport::WriteFile(deep, std::string(1000000, '[') + std::string(1000000, ']'));
  EXPECT_FALSE(driver.Start({"--device", deep}));
  EXPECT_THAT(driver.LastError(), HasSubstr("larger than 1048576 bytes"));
  EXPECT_FALSE(driver.Start({"--device", "/dev/zero"}));
  EXPECT_THAT(driver.LastError(), HasSubstr("not a regular file"));
  ASSERT_TRUE(driver.ExitStatus().has_value());
  EXPECT_TRUE(WIFEXITED(*driver.ExitStatus())) << "refused, not crashed";
}

}  // namespace
}  // namespace drvtest
