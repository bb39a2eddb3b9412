// Host cost of real USB devices in the driver service, and parallel upgrades.
//
// BM_DownloadBlock/0 and /1: one download block (DFU_DNLOAD of 4096 bytes,
// then DFU_GETSTATUS) through the service to a simulated device (/0) and to a
// USB device on the umockdev testbed (/1), both served by one service in the
// same run. Counters: median_us and p99_us per block, cpu_us: processor time
// per block of the service and of this process together (this process is the
// client and, for /1, also the fake device: umockdev's handler answers the
// service's usbdevfs requests here), service_cpu_us: the service's share.
//
// BM_ParallelUpgrades/N: N client processes (this program, started again),
// each downloading and manifesting a 4 MiB image on its own simulated device
// of one service, started together; MiB_per_s is the aggregate throughput
// (N images over the wall time until the last one ends). The clients speak
// the driver protocol directly: vlmu-flash chooses its device by index, and
// the index of a device moves while another one re-enumerates.
//
// The program re-runs itself under umockdev-wrapper when it is not already.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UsbTestbed.h"
#include "common/ProcessCpu.h"
#include "common/QuietService.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"
#include "support/DriverServiceFixture.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr platform::Guid kVendorClass = platform::kVendorInterfaceClass;

double ProcessCpuUs(pid_t pid) { return benchsupport::ProcessCpuSeconds(pid) * 1e6; }
double SelfCpuUs() { return benchsupport::UsageCpuSeconds(RUSAGE_SELF) * 1e6; }

// One service serving a simulated device and a USB device, both running
// their DFU-mode firmware only (they take download blocks at once).
struct BlockSetup {
  usbtest::UsbTestbed bed;
  testsupport::DriverServiceFixture driver;
  std::string simPath, usbPath;
  bool ok = false;

  BlockSetup() {
    const testsupport::DeviceDescription usb =
        testsupport::DeviceDescription().Id("usb").Serial("USBBENCH").Knob("dfuOnly", "true");
    const testsupport::DeviceDescription sim =
        testsupport::DeviceDescription().Id("sim").Serial("SIMBENCH").Knob("dfuOnly", "true");
    std::string error;
    if (bed.AddDevice(usb.ToJson(), 1, error).empty()) return;
    const std::string simFile = driver.TempFile("sim.json");
    testsupport::WriteFile(simFile, sim.ToJson());
    if (!benchsupport::StartQuietService(driver, {"--device", simFile, "--usb", "1234:5678"})) return;
    simPath = sim.Path();
    usbPath = usb.Path();
    std::unique_ptr<platform::DriverConnection> c;
    if (platform::DriverConnection::Connect(c, "bench") != 0) return;
    for (int i = 0; i < 500 && !ok; ++i) {
      std::vector<std::string> paths;
      ok = c->ListInterfaces(kVendorClass, paths) == 0 && paths.size() == 2;
      if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
};

BlockSetup* gBlock = nullptr;

void Report(benchmark::State& state, std::vector<double>& us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

void BM_DownloadBlock(benchmark::State& state) {
  if (gBlock == nullptr) gBlock = new BlockSetup();
  if (!gBlock->ok) {
    state.SkipWithError("service or testbed not available");
    return;
  }
  std::unique_ptr<platform::DriverConnection> c;
  if (platform::DriverConnection::Connect(c, "bench") != 0 ||
      c->Open(state.range(0) == 0 ? gBlock->simPath : gBlock->usbPath) != 0) {
    state.SkipWithError("cannot open the device");
    return;
  }
  constexpr uint16_t kBlock = 4096;
  std::vector<uint8_t> dnload(16 + kBlock, 0x5A);
  const uint8_t dnloadHeader[16] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, kBlock & 0xFF, kBlock >> 8};
  std::memcpy(dnload.data(), dnloadHeader, sizeof dnloadHeader);
  const uint8_t getStatus[16] = {1, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 6, 0};
  const uint8_t abort[16] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0};
  uint8_t out[6];
  uint32_t got = 0;
  c->IoControl(driverproto::kIoctlControlRequest, abort, 16, nullptr, 0, &got);  // a fresh image
  uint16_t block = 0;
  std::vector<double> us;
  const pid_t service = gBlock->driver.Pid();
  const double cpu0 = SelfCpuUs(), service0 = ProcessCpuUs(service);
  for (auto _ : state) {
    if (block == 1024) {  // every 4 MiB the image starts afresh: the device's memory stays bounded
      if (c->IoControl(driverproto::kIoctlControlRequest, abort, 16, nullptr, 0, &got) != 0) {
        state.SkipWithError("abort failed");
        break;
      }
      block = 0;
    }
    dnload[10] = static_cast<uint8_t>(block & 0xFF);
    dnload[11] = static_cast<uint8_t>(block >> 8);
    ++block;
    const auto t0 = Clock::now();
    uint32_t err = c->IoControl(driverproto::kIoctlControlRequest, dnload.data(), static_cast<uint32_t>(dnload.size()),
                                nullptr, 0, &got);
    if (err == 0) err = c->IoControl(driverproto::kIoctlControlRequest, getStatus, 16, out, 6, &got);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (err != 0 || got != 6 || out[4] != 5 /* dfuDNLOAD_IDLE */) {
      state.SkipWithError("block not accepted");
      break;
    }
  }
  const double n = static_cast<double>(us.size());
  if (n > 0) {
    const double serviceUs = ProcessCpuUs(service) - service0;
    state.counters["service_cpu_us"] = serviceUs / n;
    state.counters["cpu_us"] = (serviceUs + SelfCpuUs() - cpu0) / n;
  }
  Report(state, us);
}
BENCHMARK(BM_DownloadBlock)->Arg(0)->Arg(1)->ArgNames({"usb"})->MinTime(2.0)->Unit(benchmark::kMicrosecond);

// One client process: downloads `bytes` to the device at `path` (in DFU
// mode) block by block as the download engine does (DFU_DNLOAD of 4096
// bytes, DFU_GETSTATUS), then manifests the image (empty DFU_DNLOAD, status
// polls until dfuIDLE). Exit status 0 on success.
int UpgradeClient(const std::string& path, size_t bytes) {
  std::unique_ptr<platform::DriverConnection> c;
  if (platform::DriverConnection::Connect(c, "bench-client") != 0 || c->Open(path) != 0) return 2;
  constexpr uint16_t kBlock = 4096;
  std::vector<uint8_t> dnload(16 + kBlock, 0x3C);
  const uint8_t dnloadHeader[16] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, kBlock & 0xFF, kBlock >> 8};
  std::memcpy(dnload.data(), dnloadHeader, sizeof dnloadHeader);
  const uint8_t getStatus[16] = {1, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 6, 0};
  uint8_t out[6];
  uint32_t got = 0;
  uint16_t block = 0;
  for (size_t sent = 0; sent < bytes; sent += kBlock, ++block) {
    dnload[10] = static_cast<uint8_t>(block & 0xFF);
    dnload[11] = static_cast<uint8_t>(block >> 8);
    if (c->IoControl(driverproto::kIoctlControlRequest, dnload.data(), static_cast<uint32_t>(dnload.size()), nullptr, 0,
                     &got) != 0 ||
        c->IoControl(driverproto::kIoctlControlRequest, getStatus, 16, out, 6, &got) != 0 || out[4] != 5)
      return 3;
  }
  uint8_t empty[16] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  empty[10] = static_cast<uint8_t>(block & 0xFF);
  empty[11] = static_cast<uint8_t>(block >> 8);
  if (c->IoControl(driverproto::kIoctlControlRequest, empty, 16, nullptr, 0, &got) != 0) return 4;
  for (int polls = 0; polls < 100; ++polls) {
    if (c->IoControl(driverproto::kIoctlControlRequest, getStatus, 16, out, 6, &got) != 0) return 5;
    if (out[4] == 2 /* dfuIDLE */) return 0;
  }
  return 6;
}

// N client processes upgrading N simulated devices of one service at once.
void BM_ParallelUpgrades(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  testsupport::DriverServiceFixture driver;
  std::vector<std::string> args, paths;
  for (int i = 0; i < n; ++i) {
    const std::string file = driver.TempFile("dev" + std::to_string(i) + ".json");
    const auto spec = testsupport::DeviceDescription()
                          .Id("p" + std::to_string(i))
                          .Serial("PAR" + std::to_string(i))
                          .Knob("dfuOnly", "true");
    testsupport::WriteFile(file, spec.ToJson());
    args.insert(args.end(), {"--device", file});
    paths.push_back(spec.Path());
  }
  if (!benchsupport::StartQuietService(state, driver, args)) return;
  constexpr size_t kImage = 4u << 20;
  char self[4096] = {};
  if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    state.SkipWithError("cannot find this program");
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
      std::vector<std::string> a = {self, "--upgrade-client", paths[static_cast<size_t>(i)], std::to_string(kImage)};
      std::vector<char*> argv;
      for (auto& s : a) argv.push_back(s.data());
      argv.push_back(nullptr);
      pid_t pid = -1;
      if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0) pids.push_back(pid);
    }
    bool failed = pids.size() != static_cast<size_t>(n);
    for (pid_t pid : pids) {
      int st = 0;
      ::waitpid(pid, &st, 0);
      failed = failed || !WIFEXITED(st) || WEXITSTATUS(st) != 0;
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(s);
    seconds += s;
    if (failed) {
      state.SkipWithError("an upgrade client failed");
      break;
    }
  }
  const double mib = static_cast<double>(n) * static_cast<double>(kImage) / (1024.0 * 1024.0);
  if (seconds > 0) state.counters["MiB_per_s"] = mib * static_cast<double>(state.iterations()) / seconds;
}
BENCHMARK(BM_ParallelUpgrades)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->ArgNames({"clients"})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--upgrade-client")
    return UpgradeClient(argv[2], static_cast<size_t>(std::strtoull(argv[3], nullptr, 10)));
  if (!usbtest::UsbTestbed::Active()) {
    // The testbed needs umockdev's preload in this process and in the service.
    std::vector<char*> args = {const_cast<char*>("umockdev-wrapper")};
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    args.push_back(self);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execvp("umockdev-wrapper", args.data());
    std::perror("umockdev-wrapper");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  delete gBlock;  // stops the service before the testbed goes
  benchmark::Shutdown();
  return 0;
}
