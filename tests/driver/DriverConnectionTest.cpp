// The client connection against a scripted fake service: malformed replies,
// half-closed sockets and silence must end in error codes, never in a crash,
// an over-read or a hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "driver/DriverTestUtil.h"
#include "platform/posix/DriverWire.h"
#include "support/TempDir.h"

namespace drvtest {
namespace {

// Accepts one client and runs a script on its socket.
class FakeService {
 public:
  explicit FakeService(std::function<void(int fd)> script) : mScript(std::move(script)) {
    mPath = mDir.File("fake.sock");
    mListen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, mPath.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(mListen, 4), 0);
    mThread = std::thread([this] {
      const int fd = ::accept(mListen, nullptr, nullptr);
      if (fd < 0) return;
      mScript(fd);
      ::close(fd);
    });
  }
  ~FakeService() {
    ::shutdown(mListen, SHUT_RDWR);
    mThread.join();
    ::close(mListen);
  }
  const std::string& Path() const { return mPath; }

  // Reads one whole frame from the client (false on end of stream).
  static bool ReadFrame(int fd, uint16_t& type, std::string& payload) {
    char h[8];
    if (!ReadAll(fd, h, 8)) return false;
    const auto fh = driverproto::DecodeHeader(h);
    type = fh.type;
    payload.resize(fh.length);
    return fh.length == 0 || ReadAll(fd, payload.data(), fh.length);
  }
  static void Write(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }
  static std::string HelloReply(uint32_t version = kProtocolVersion) {
    return FrameWriter(MessageType::HelloReply).U32(kMagic).U32(version).String("fake").Finish();
  }
  // Answers the HELLO, then the next request with `reply`, then waits for the client to go.
  static std::function<void(int)> AnswerWith(std::string reply, bool closeAfter = false) {
    return [reply, closeAfter](int fd) {
      uint16_t t;
      std::string p;
      if (!ReadFrame(fd, t, p)) return;
      Write(fd, HelloReply());
      if (!ReadFrame(fd, t, p)) return;
      Write(fd, reply);
      if (closeAfter) return;
      while (ReadFrame(fd, t, p)) {
      }
    };
  }

 private:
  static bool ReadAll(int fd, char* buf, size_t n) {
    while (n > 0) {
      const ssize_t r = ::recv(fd, buf, n, 0);
      if (r <= 0) return false;
      buf += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  testsupport::TempDir mDir;
  std::string mPath;
  int mListen = -1;
  std::function<void(int)> mScript;
  std::thread mThread;
};

uint32_t ConnectFake(const FakeService& fake, std::unique_ptr<platform::DriverConnection>& c, uint32_t timeout = 2000) {
  return platform::DriverConnection::ConnectTo(fake.Path(), c, "test", timeout);
}

TEST(DriverConnectionTest, NoServiceListening) {
  testsupport::TempDir dir;
  std::unique_ptr<platform::DriverConnection> c;
  EXPECT_EQ(platform::DriverConnection::ConnectTo(dir.File("none.sock"), c), kErrorServiceNotActive);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(platform::DriverConnection::ConnectTo(std::string(200, 'x'), c), kErrorInvalidParameter);
  EXPECT_EQ(platform::DriverConnection::ConnectTo("", c), kErrorInvalidParameter);
}

TEST(DriverConnectionTest, SocketPathComesFromTheEnvironmentAtEachCall) {
  const char* old = std::getenv(kSocketEnv);
  const std::string saved = old ? old : "";
  ::setenv(kSocketEnv, "/tmp/one.sock", 1);
  EXPECT_EQ(platform::DriverConnection::SocketPath(), "/tmp/one.sock");
  ::setenv(kSocketEnv, "/tmp/two.sock", 1);
  EXPECT_EQ(platform::DriverConnection::SocketPath(), "/tmp/two.sock");
  // Unset or empty: the user's runtime directory when a socket is there,
  // else the system service's socket.
  const char* oldRuntime = std::getenv(kRuntimeDirEnv);
  const std::string savedRuntime = oldRuntime ? oldRuntime : "";
  testsupport::TempDir runtime;
  ::setenv(kRuntimeDirEnv, runtime.path().c_str(), 1);
  ::setenv(kSocketEnv, "", 1);
  EXPECT_EQ(platform::DriverConnection::SocketPath(), kSystemSocketPath);
  std::filesystem::create_directory(runtime.path() / "velmora");
  testsupport::WriteFile(runtime.File("velmora/driver.sock"), "");
  EXPECT_EQ(platform::DriverConnection::SocketPath(), runtime.File("velmora/driver.sock"));
  ::unsetenv(kSocketEnv);
  EXPECT_EQ(platform::DriverConnection::SocketPath(), runtime.File("velmora/driver.sock"));
  ::unsetenv(kRuntimeDirEnv);
  EXPECT_EQ(platform::DriverConnection::SocketPath(), kSystemSocketPath);
  if (oldRuntime) ::setenv(kRuntimeDirEnv, savedRuntime.c_str(), 1);
  if (old) ::setenv(kSocketEnv, saved.c_str(), 1);
}

TEST(DriverConnectionTest, ServiceThatNeverAnswersTheHelloTimesOut) {
  FakeService fake([](int fd) {
    uint16_t t;
    std::string p;
    while (FakeService::ReadFrame(fd, t, p)) {
    }
  });
  std::unique_ptr<platform::DriverConnection> c;
  EXPECT_EQ(ConnectFake(fake, c, 100), kErrorSemTimeout);
  EXPECT_EQ(c, nullptr);
}

TEST(DriverConnectionTest, HelloReplyOfAnotherVersionIsRefused) {
  FakeService fake([](int fd) {
    uint16_t t;
    std::string p;
    if (FakeService::ReadFrame(fd, t, p)) FakeService::Write(fd, FakeService::HelloReply(7));
  });
  std::unique_ptr<platform::DriverConnection> c;
  EXPECT_EQ(ConnectFake(fake, c), kErrorRevisionMismatch);
}

TEST(DriverConnectionTest, MalformedRepliesBecomeErrorsAndBreakTheConnection) {
  struct Case {
    const char* what;
    std::string reply;
    uint32_t expected;
  } cases[] = {
      {"announced length beyond the limit", std::string("\xFF\xFF\xFF\x7F\x69\x00\x00\x00", 8), kErrorInvalidData},
      {"unknown frame type", FrameWriter(static_cast<MessageType>(55)).U32(0).Finish(), kErrorInvalidData},
      {"reply of the wrong kind", FrameWriter(MessageType::Status).U32(0).Finish(), kErrorInvalidData},
      {"byte count beyond the output size",
       FrameWriter(MessageType::IoControlReply).U32(0).U32(64).Bytes(std::string(64, 'x').data(), 64).Finish(),
       kErrorInvalidData},
      {"byte count beyond the payload", FrameWriter(MessageType::IoControlReply).U32(0).U32(4).Bytes("ab", 2).Finish(),
       kErrorInvalidData},
      {"trailing bytes", FrameWriter(MessageType::IoControlReply).U32(0).U32(0).U32(9).Finish(), kErrorInvalidData},
      {"truncated frame then end of stream", std::string("\x10\x00\x00\x00\x69\x00\x00\x00\x00", 9),
       kErrorDeviceNotConnected},
      {"error frame", FrameWriter(MessageType::Error).U32(kErrorInvalidParameter).String("no").Finish(),
       kErrorInvalidParameter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bool close = std::string(c.what).find("end of stream") != std::string::npos;
    FakeService fake(FakeService::AnswerWith(c.reply, close));
    std::unique_ptr<platform::DriverConnection> conn;
    ASSERT_EQ(ConnectFake(fake, conn), 0u);
    char out[8];
    std::memset(out, 0x33, sizeof out);
    uint32_t got = 99;
    EXPECT_EQ(conn->IoControl(kIoctlGetDescriptor, "12345678", 8, out, 8, &got), c.expected);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(std::string(out, 8), std::string(8, '\0')) << "output stays zero-filled";
    EXPECT_TRUE(conn->IsBroken());
    EXPECT_EQ(conn->Close(), kErrorDeviceNotConnected) << "broken for good";
  }
}

TEST(DriverConnectionTest, ServiceClosingAfterTheHelloGivesDeviceNotConnected) {
  FakeService fake([](int fd) {
    uint16_t t;
    std::string p;
    if (FakeService::ReadFrame(fd, t, p)) FakeService::Write(fd, FakeService::HelloReply());
    ::shutdown(fd, SHUT_WR);  // half-closed: no more replies
    while (FakeService::ReadFrame(fd, t, p)) {
    }
  });
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(ConnectFake(fake, c), 0u);
  std::vector<std::string> paths;
  EXPECT_EQ(c->ListInterfaces(VendorClass(), paths), kErrorDeviceNotConnected);
  EXPECT_TRUE(paths.empty());
}

TEST(DriverConnectionTest, NotificationsBeforeAReplyAreDeliveredAndTheReplyStillMatches) {
  const std::string path = "\\\\?\\usb#vid_1234&pid_5678#SN1#{49f4a1ff-55dd-4d45-9743-7b623eff0361}";
  FakeService fake([path](int fd) {
    uint16_t t;
    std::string p;
    if (!FakeService::ReadFrame(fd, t, p)) return;
    FakeService::Write(fd, FakeService::HelloReply());
    if (!FakeService::ReadFrame(fd, t, p)) return;  // Subscribe
    FakeService::Write(fd, FrameWriter(MessageType::Status).U32(0).Finish());
    if (!FakeService::ReadFrame(fd, t, p)) return;  // Open
    FakeService::Write(
        fd,
        FrameWriter(MessageType::Notify).U32(kDbtDeviceRemoveComplete).GuidBytes(VendorClass()).String(path).Finish() +
            FrameWriter(MessageType::Notify).U32(kDbtDeviceArrival).GuidBytes(VendorClass()).String(path).Finish() +
            FrameWriter(MessageType::Status).U32(kErrorFileNotFound).Finish());
    while (FakeService::ReadFrame(fd, t, p)) {
    }
  });
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(ConnectFake(fake, c), 0u);
  std::mutex m;
  std::vector<uint32_t> events;
  ASSERT_EQ(c->Subscribe(VendorClass(),
                         [&](const platform::DriverNotification& n) {
                           std::lock_guard<std::mutex> lock(m);
                           events.push_back(n.event);
                           EXPECT_EQ(n.path, path);
                         }),
            0u);
  EXPECT_EQ(c->Open(path), kErrorFileNotFound);
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(events, (std::vector<uint32_t>{kDbtDeviceRemoveComplete, kDbtDeviceArrival}));
}

TEST(DriverConnectionTest, LargeRequestLeavesWholeAndAReplyInPiecesIsJoined) {
  // The largest input: more than the socket takes at once, so the header and
  // the caller's bytes leave in several sends, resumed where each stopped.
  std::string input(kMaxIoBuffer, '\0');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>((i * 7u) ^ (i >> 9));
  std::string output(64, '\0');
  for (size_t i = 0; i < output.size(); ++i) output[i] = static_cast<char>(0xC0 + i);
  std::promise<std::pair<uint16_t, std::string>> seen;
  FakeService fake([&](int fd) {
    uint16_t t;
    std::string p;
    if (!FakeService::ReadFrame(fd, t, p)) return;
    FakeService::Write(fd, FakeService::HelloReply());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the client's send wait for room
    if (!FakeService::ReadFrame(fd, t, p)) return;
    seen.set_value({t, p});
    // The reply trickles in a few bytes at a time.
    const std::string reply = FrameWriter(MessageType::IoControlReply).U32(0).U32(64).Bytes(output.data(), 64).Finish();
    for (size_t off = 0; off < reply.size(); off += 7) {
      FakeService::Write(fd, reply.substr(off, 7));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (FakeService::ReadFrame(fd, t, p)) {
    }
  });
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(ConnectFake(fake, c), 0u);
  char out[65];
  out[64] = '\x5A';
  uint32_t got = 0;
  EXPECT_EQ(c->IoControl(kIoctlControlRequest, input.data(), static_cast<uint32_t>(input.size()), out, 64, &got), 0u);
  EXPECT_EQ(got, 64u);
  EXPECT_EQ(std::string(out, 64), output);
  EXPECT_EQ(out[64], '\x5A');
  EXPECT_FALSE(c->IsBroken());
  auto frame = seen.get_future();
  ASSERT_EQ(frame.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto [type, payload] = frame.get();
  EXPECT_EQ(type, static_cast<uint16_t>(MessageType::IoControl));
  const std::string expected =
      FrameWriter(MessageType::IoControl).U32(kIoctlControlRequest).U32(64).U32(kMaxIoBuffer).Finish().substr(8) +
      input;
  ASSERT_EQ(payload.size(), expected.size());
  EXPECT_TRUE(payload == expected) << "the service got other bytes than were sent";
}

TEST(DriverConnectionTest, EachRequestIsBoundByTheTimeOutInForceWhenItIsSent) {
  FakeService fake([](int fd) {
    uint16_t t;
    std::string p;
    if (!FakeService::ReadFrame(fd, t, p)) return;
    FakeService::Write(fd, FakeService::HelloReply());
    const int delaysMs[] = {20, 400};  // then the third request gets no answer
    for (const int ms : delaysMs) {
      if (!FakeService::ReadFrame(fd, t, p)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      FakeService::Write(fd, FrameWriter(MessageType::Status).U32(0).Finish());
    }
    while (FakeService::ReadFrame(fd, t, p)) {
    }
  });
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(ConnectFake(fake, c), 0u);
  c->SetRequestTimeout(100);
  EXPECT_EQ(c->Open("x"), 0u) << "answered after 20 ms, within 100 ms";
  c->SetRequestTimeout(3000);
  EXPECT_EQ(c->Close(), 0u) << "answered after 400 ms: the earlier 100 ms bound no longer applies";
  c->SetRequestTimeout(150);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c->Open("x"), kErrorSemTimeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(150));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500)) << "the earlier 3000 ms bound no longer applies";
  EXPECT_TRUE(c->IsBroken());
}

TEST(DriverConnectionTest, InvalidArgumentsAreRefusedWithoutASend) {
  FakeService fake(FakeService::AnswerWith(FrameWriter(MessageType::Status).U32(0).Finish()));
  std::unique_ptr<platform::DriverConnection> c;
  ASSERT_EQ(ConnectFake(fake, c), 0u);
  uint32_t got = 5;
  EXPECT_EQ(c->IoControl(kIoctlGetDescriptor, nullptr, 8, nullptr, 0, &got), kErrorInvalidParameter);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(c->IoControl(kIoctlGetDescriptor, "x", 1, nullptr, 4, &got), kErrorInvalidParameter);
  EXPECT_FALSE(c->IsBroken());
  EXPECT_EQ(c->Close(), 0u) << "the connection still works";
}

}  // namespace
}  // namespace drvtest
