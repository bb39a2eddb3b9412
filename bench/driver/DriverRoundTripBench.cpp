// Latency of one DFU_GETSTATUS-sized control request through the driver
// service (client connection -> service -> simulated device -> reply), of one
// download block as the engine sends it (DFU_DNLOAD of 4096 bytes, then
// DFU_GETSTATUS, to a device in DFU mode), and of a bare Unix-socket echo with
// the GETSTATUS request and reply sizes in the same run as the floor. Reports
// the median and the 99th percentile in microseconds as counters (median_us,
// p99_us).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Frame sizes of one DFU_GETSTATUS: request 8 + 12 + 16 bytes, reply 8 + 8 + 6 bytes.
constexpr size_t kRequestBytes = 36;
constexpr size_t kReplyBytes = 22;

void Report(benchmark::State& state, std::vector<double>& us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

std::string TempSocket(const char* name) {
  return "/tmp/vlmu-bench-" + std::to_string(::getpid()) + "-" + name + ".sock";
}

// The driver service with one device, for the length of one benchmark.
class Service {
 public:
  Service() : mSocket(TempSocket("driver")) {
    const std::string bin = std::string(VLMU_BUILD_DIR) + "/driver/velmora-driverd";
    const std::string device = TempSocket("device") + ".json";
    const std::string dfuDevice = TempSocket("dfu-device") + ".json";
    WriteText(device, R"({"id":"bench","serialNumber":"BENCH1"})");
    // A second device that runs its DFU-mode firmware only: it takes download blocks at once.
    WriteText(dfuDevice, R"({"id":"bench-dfu","serialNumber":"BENCH2","behaviour":{"dfuOnly":true}})");
    std::vector<std::string> args = {bin,        "--foreground", "--socket", mSocket,
                                     "--device", device,         "--device", dfuDevice};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", 0x1 /* O_WRONLY */, 0);
    if (posix_spawn(&mPid, bin.c_str(), &fa, nullptr, argv.data(), environ) != 0) mPid = -1;
    posix_spawn_file_actions_destroy(&fa);
    for (int i = 0; i < 1000 && mPid > 0; ++i) {
      if (platform::DriverConnection::ConnectTo(mSocket, mConn, "bench") == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::remove(device.c_str());
    std::remove(dfuDevice.c_str());
  }
  ~Service() {
    mConn.reset();
    if (mPid > 0) {
      ::kill(mPid, SIGTERM);
      int st = 0;
      ::waitpid(mPid, &st, 0);
    }
  }
  platform::DriverConnection* Conn() { return mConn.get(); }

 private:
  static void WriteText(const std::string& path, const char* text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f != nullptr) {
      std::fputs(text, f);
      std::fclose(f);
    }
  }

  std::string mSocket;
  pid_t mPid = -1;
  std::unique_ptr<platform::DriverConnection> mConn;
};

void BM_DriverGetStatusRoundTrip(benchmark::State& state) {
  Service service;
  platform::DriverConnection* c = service.Conn();
  std::vector<std::string> paths;
  const platform::Guid vendorClass{0x49F4A1FF, 0x55DD, 0x4d45, {0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61}};
  if (c == nullptr || c->ListInterfaces(vendorClass, paths) != 0 || paths.empty() || c->Open(paths[0]) != 0) {
    state.SkipWithError("driver service not available");
    return;
  }
  // DFU_GETSTATUS to the run-time DFU interface (number 3 of the default description).
  const uint8_t req[16] = {1, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 3, 0, 6, 0};
  uint8_t out[6];
  std::vector<double> us;
  us.reserve(100000);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    uint32_t got = 0;
    const uint32_t err = c->IoControl(driverproto::kIoctlControlRequest, req, 16, out, 6, &got);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (err != 0 || got != 6) {
      state.SkipWithError("request failed");
      break;
    }
  }
  Report(state, us);
}

// One download block: DFU_DNLOAD with 4096 data bytes, then DFU_GETSTATUS,
// each one request through the service, as the download engine sends them.
// Every 4096 blocks (16 MiB) a DFU_ABORT starts the device's image afresh so
// that its memory stays bounded.
void BM_DriverDownloadBlock(benchmark::State& state) {
  Service service;
  platform::DriverConnection* c = service.Conn();
  std::vector<std::string> paths;
  const platform::Guid vendorClass{0x49F4A1FF, 0x55DD, 0x4d45, {0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61}};
  if (c == nullptr || c->ListInterfaces(vendorClass, paths) != 0 || paths.size() < 2 || c->Open(paths[1]) != 0) {
    state.SkipWithError("driver service not available");
    return;
  }
  constexpr uint16_t kBlock = 4096;
  std::vector<uint8_t> dnload(16 + kBlock, 0x5A);
  const uint8_t dnloadHeader[16] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, kBlock & 0xFF, kBlock >> 8};
  std::memcpy(dnload.data(), dnloadHeader, sizeof dnloadHeader);
  const uint8_t getStatus[16] = {1, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 6, 0};
  const uint8_t abort[16] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0};
  uint8_t out[6];
  uint16_t block = 0;
  std::vector<double> us;
  us.reserve(100000);
  for (auto _ : state) {
    if (block == 4096) {
      state.PauseTiming();
      uint32_t got = 0;
      if (c->IoControl(driverproto::kIoctlControlRequest, abort, 16, nullptr, 0, &got) != 0) {
        state.SkipWithError("abort failed");
        break;
      }
      block = 0;
      state.ResumeTiming();
    }
    dnload[10] = static_cast<uint8_t>(block & 0xFF);
    dnload[11] = static_cast<uint8_t>(block >> 8);
    ++block;
    const auto t0 = Clock::now();
    uint32_t got = 0;
    uint32_t err = c->IoControl(driverproto::kIoctlControlRequest, dnload.data(), static_cast<uint32_t>(dnload.size()),
                                nullptr, 0, &got);
    if (err == 0) err = c->IoControl(driverproto::kIoctlControlRequest, getStatus, 16, out, 6, &got);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (err != 0 || got != 6 || out[4] != 5 /* dfuDNLOAD_IDLE */) {
      state.SkipWithError("block not accepted");
      break;
    }
  }
  Report(state, us);
}

void BM_UnixSocketEchoFloor(benchmark::State& state) {
  const std::string path = TempSocket("echo");
  ::unlink(path.c_str());
  const int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(lfd, 1) != 0) {
    state.SkipWithError("cannot listen");
    ::close(lfd);
    return;
  }
  std::thread server([lfd] {
    const int fd = ::accept(lfd, nullptr, nullptr);
    char in[kRequestBytes], reply[kReplyBytes] = {};
    for (;;) {
      size_t got = 0;
      while (got < kRequestBytes) {
        const ssize_t n = ::recv(fd, in + got, kRequestBytes - got, 0);
        if (n <= 0) {
          ::close(fd);
          return;
        }
        got += static_cast<size_t>(n);
      }
      if (::send(fd, reply, kReplyBytes, MSG_NOSIGNAL) != static_cast<ssize_t>(kReplyBytes)) break;
    }
    ::close(fd);
  });
  const int cfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::connect(cfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) state.SkipWithError("cannot connect");
  char req[kRequestBytes] = {}, reply[kReplyBytes];
  std::vector<double> us;
  us.reserve(100000);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (::send(cfd, req, kRequestBytes, MSG_NOSIGNAL) != static_cast<ssize_t>(kRequestBytes)) break;
    size_t got = 0;
    while (got < kReplyBytes) {
      const ssize_t n = ::recv(cfd, reply + got, kReplyBytes - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  ::close(cfd);
  ::shutdown(lfd, SHUT_RDWR);
  server.join();
  ::close(lfd);
  ::unlink(path.c_str());
  Report(state, us);
}

}  // namespace

BENCHMARK(BM_UnixSocketEchoFloor)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_DriverGetStatusRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_DriverDownloadBlock)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK_MAIN();
