// The driver service against hostile or careless clients: bytes that are not
// UTF-8, wrongly typed command fields, deep or overlong descriptions. After
// each the service must still answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "driver/DriverTestUtil.h"
#include "platform/posix/DriverWire.h"
#include "support/RunShell.h"

namespace drvtest {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using testsupport::DeviceDescription;
using testsupport::DriverServiceFixture;

// The "error" text of a control reply.
std::string ErrorText(const std::string& reply) {
  const json r = json::parse(reply, nullptr, false);
  return r.is_object() && r.contains("error") && r["error"].is_string() ? r["error"].get<std::string>() : reply;
}

// One field of /proc/PID/status in kB (VmRSS, ...).
long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// Processor time the process has used so far, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(all.substr(all.rfind(')') + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stol(f);
    if (i == 15) stime = std::stol(f);
  }
  return utime + stime;
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
  ASSERT_EQ(driver.AddDevice(DeviceDescription().Knob("initialState", "\"dfuIDLE\"")), "dev1") << driver.LastError();
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  const std::string latin1("M\xFCller\x80", 7);  // "Müller" in Latin-1, then a stray continuation byte
  ASSERT_EQ(d.SetSerial(0, latin1), 0u);

  // Every command that shows the stored serial number answers, with the
  // bytes escaped in the text and complete in hex.
  const char* commands[] = {R"({"cmd":"list-devices"})", R"({"cmd":"plug","id":"dev1"})",
                            R"({"cmd":"set-behaviour","id":"dev1","behaviour":{}})",
                            R"({"cmd":"get-serial","id":"dev1"})"};
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
  ASSERT_EQ(driver.AddDevice(DeviceDescription()), "dev1") << driver.LastError();
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
  EXPECT_EQ(
      driver.Control(
          R"({"cmd":"add-device","description":{"id":"b","serialNumber":")" + std::string(100, '[') + R"("}})", reply),
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
  ASSERT_EQ(driver.AddDevice(DeviceDescription().Serial(serial)), "dev1") << driver.LastError();
  json longPath = json::parse(DeviceDescription().Id("dev2").Serial("S2").ToJson());
  longPath["dfu"]["path"] = std::string(4096, 'p');
  ASSERT_EQ(driver.AddDevice(longPath.dump()), "dev2") << driver.LastError();
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(platform::DriverConnection::Connect(c), 0u);
  std::vector<std::string> paths;
  ASSERT_EQ(c->ListInterfaces(VendorClass(), paths), 0u);
  EXPECT_EQ(paths.size(), 2u);
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Serial(serial).Path()), 0u);
  const Reply r = d.Descriptor(3, 3, 255, 0x0409);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(r.data.size(), 2u + 2u * 126u);
}

TEST_F(DriverHardeningTest, FramesLongerThanAnyRequestAreRefusedAtTheHeader) {
  const uint32_t lengths[] = {1024 * 1024 + 65, 64 * 1024 * 1024};
  for (const uint32_t length : lengths) {
    RawClient raw(driver.SocketPath());
    ASSERT_TRUE(raw.Connected());
    ASSERT_TRUE(raw.Send(Hello() + Header(MessageType::Control, length)));
    EXPECT_EQ(raw.ReadFrame().first, static_cast<uint16_t>(MessageType::HelloReply));
    EXPECT_EQ(ErrorCodeOf(raw.ReadFrame()), kErrorInvalidData) << length;
    EXPECT_TRUE(raw.ClosedWithin(5000));
  }
  // The largest request there is still passes: an IoControl with a full input buffer.
  ASSERT_EQ(driver.AddDevice(DeviceDescription()), "dev1");
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  EXPECT_EQ(d.Io(kIoctlGetDescriptor, std::string(kMaxIoBuffer, '\0'), 18).error, kErrorInvalidParameter);
  EXPECT_FALSE(d.Conn().IsBroken());
  ExpectAnswers();
}

TEST_F(DriverHardeningTest, LargeHalfSentFramesShareABoundedBudget) {
  // Each client announces a 1 MiB control command and sends all but its
  // last byte. Only 32 MiB of such frames are held at once; later clients
  // are told the service is busy, and the service's memory stays bounded.
  constexpr uint32_t kLength = 1024 * 1024;
  std::string text = R"({"cmd":"ping"})";
  text.resize(kLength - 4, ' ');
  const std::string frame = FrameWriter(MessageType::Control).String(text).Finish();
  ASSERT_EQ(frame.size(), kFrameHeaderSize + kLength);
  const std::string partial = Hello() + frame.substr(0, frame.size() - 1);
  std::vector<std::unique_ptr<RawClient>> clients;
  int busy = 0;
  for (int i = 0; i < 48; ++i) {
    clients.push_back(std::make_unique<RawClient>(driver.SocketPath()));
    ASSERT_TRUE(clients.back()->Connected());
    clients.back()->Send(partial);  // a refused client's send may fail half way
    EXPECT_EQ(clients.back()->ReadFrame().first, static_cast<uint16_t>(MessageType::HelloReply));
  }
  for (auto& c : clients)
    if (ErrorCodeOf(c->ReadFrame(100)) == kErrorBusy) ++busy;
  EXPECT_EQ(busy, 48 - 32);
  const long rssKb = StatusKb(driver.Pid(), "VmRSS");
  EXPECT_GT(rssKb, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (A sanitizer's shadow memory and quarantine would be counted as well.)
  EXPECT_LT(rssKb, 160 * 1024) << "32 frames of 1 MiB, twice over at most, and the rest of the service";
#endif
  ExpectAnswers();
  // A held frame completes normally once its last byte comes.
  ASSERT_TRUE(clients.front()->Send(frame.substr(frame.size() - 1)));
  const auto reply = clients.front()->ReadFrame();
  EXPECT_EQ(reply.first, static_cast<uint16_t>(MessageType::ControlReply));
}

TEST(DriverHardeningStartTest, HalfSentFrameIsDroppedAfterTheFrameTimeoutAndAnIdleClientIsNot) {
  DriverServiceFixture driver;
  ASSERT_TRUE(driver.Start({"--frame-timeout", "300"})) << driver.LastError();
  RawClient idle(driver.SocketPath()), stalled(driver.SocketPath()), trickle(driver.SocketPath());
  ASSERT_TRUE(idle.Connected() && stalled.Connected() && trickle.Connected());
  const std::string ping = FrameWriter(MessageType::Control).String(R"({"cmd":"ping"})").Finish();
  ASSERT_TRUE(idle.Send(Hello()));
  ASSERT_TRUE(stalled.Send(Hello() + ping.substr(0, 10)));
  ASSERT_TRUE(trickle.Send(Hello() + ping.substr(0, 1)));
  // The trickling client sends a byte every 100 ms: the frame still has to
  // be complete 300 ms after its first byte.
  for (size_t i = 1; i < 12 && i < ping.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    trickle.Send(ping.substr(i, 1));
  }
  for (RawClient* c : {&stalled, &trickle}) {
    EXPECT_EQ(c->ReadFrame().first, static_cast<uint16_t>(MessageType::HelloReply));
    EXPECT_EQ(ErrorCodeOf(c->ReadFrame()), kErrorSemTimeout);
    EXPECT_TRUE(c->ClosedWithin(5000));
  }
  // Between frames a client may stay silent as long as it likes.
  EXPECT_EQ(idle.ReadFrame().first, static_cast<uint16_t>(MessageType::HelloReply));
  ASSERT_TRUE(idle.Send(ping));
  EXPECT_EQ(idle.ReadFrame().first, static_cast<uint16_t>(MessageType::ControlReply));
  EXPECT_THAT(testsupport::ReadFile(driver.LogPath()), HasSubstr("was not completed within 300 ms"));
}

TEST_F(DriverHardeningTest, ClientsBeyondTheLimitAreToldSoAndClosed) {
  // The fixture's own control connection is one client.
  std::vector<std::unique_ptr<RawClient>> clients;
  for (size_t i = 0; i < 128; ++i) {
    clients.push_back(std::make_unique<RawClient>(driver.SocketPath()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  int refused = 0;
  for (auto& c : clients) {
    ASSERT_TRUE(c->Send(Hello()) || true);
    const auto f = c->ReadFrame();
    if (ErrorCodeOf(f) == kErrorBusy)
      ++refused;
    else
      EXPECT_EQ(f.first, static_cast<uint16_t>(MessageType::HelloReply));
  }
  EXPECT_EQ(refused, 1);
  EXPECT_TRUE(clients.back()->ClosedWithin(5000));
  clients.clear();
  ExpectAnswers();
}

TEST_F(DriverHardeningTest, OutOfDescriptorsTheServiceBacksOffAndServesAgainLater) {
  // Few descriptors for the service: the clients below exhaust them, and
  // the rest wait in the listen queue.
  rlimit few{24, 0};
  rlimit old{};
  ASSERT_EQ(::prlimit(driver.Pid(), RLIMIT_NOFILE, nullptr, &old), 0);
  few.rlim_max = old.rlim_max;
  ASSERT_EQ(::prlimit(driver.Pid(), RLIMIT_NOFILE, &few, nullptr), 0);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(std::make_unique<RawClient>(driver.SocketPath()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = CpuTicks(driver.Pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long used = CpuTicks(driver.Pid()) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "the service spins on accept";
  EXPECT_THAT(testsupport::ReadFile(driver.LogPath()), HasSubstr("cannot accept a connection"));
  // Once descriptors are free again, the waiting connections are taken.
  clients.erase(clients.begin(), clients.begin() + 20);
  ASSERT_EQ(::prlimit(driver.Pid(), RLIMIT_NOFILE, &old, nullptr), 0);
  for (auto& c : clients) {
    ASSERT_TRUE(c->Send(Hello()));
    EXPECT_EQ(c->ReadFrame().first, static_cast<uint16_t>(MessageType::HelloReply));
  }
  ExpectAnswers();
}

TEST_F(DriverHardeningTest, TraceTimesAreInMicroseconds) {
  // The status request is answered 30 ms after it came.
  ASSERT_EQ(driver.AddDevice(DeviceDescription().Knob("faults", R"([{"bRequest":3,"action":"delay","delayMs":30}])")),
            "dev1");
  Device d;
  ASSERT_EQ(d.Connect(), 0u);
  ASSERT_EQ(d.Open(DeviceDescription().Path()), 0u);
  ASSERT_EQ(d.GetStatus(3).error, 0u);
  uint64_t opened = 0, answered = 0;
  for (const auto& e : driver.ReadTrace()) {
    const json line = json::parse(e.raw);
    if (e.op == "open") opened = line["time"].get<uint64_t>();
    if (e.op == "ioctl") answered = line["time"].get<uint64_t>();
  }
  ASSERT_NE(answered, 0u);
  EXPECT_GE(answered - opened, 30000u);
  EXPECT_LT(answered - opened, 30000000u);
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

  // Without --foreground the starting process ends once the service is
  // ready (it answers at once), or with the reason and status 1 when a step
  // after the detach fails (here the USB source, short of descriptors).
  const std::string socket = driver.TempFile("detached.sock");
  const std::string log = driver.TempFile("detached.log");
  const std::string start = testsupport::DriverServiceBinary() + " --socket " + socket;
  testsupport::ShellResult r = testsupport::RunShell(start + " >" + log + " 2>&1");
  EXPECT_EQ(r.exitCode, 0) << testsupport::ReadFile(log);
  std::unique_ptr<platform::DriverConnection> detached;
  ASSERT_EQ(platform::DriverConnection::ConnectTo(socket, detached, "test", 2000), 0u);
  std::string reply;
  EXPECT_EQ(detached->Control(R"({"cmd":"shutdown"})", reply), 0u);
#ifdef VLMU_TEST_WITH_USB
  // Only the standard descriptors are passed on, so that the limit is met at
  // the same step wherever the test runs.
  r = testsupport::RunShell(
      "bash -c 'for f in /proc/$$/fd/*; do n=${f##*/}; ((n > 2)) && eval \"exec $n>&-\"; done; "
      "exec prlimit --nofile=8:8 " +
      start + " --usb-any-dfu'");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_THAT(r.output, HasSubstr("libusb_init"));
#endif
}

}  // namespace
}  // namespace drvtest
