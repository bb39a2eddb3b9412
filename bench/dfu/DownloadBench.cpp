// Whole firmware downloads through the library's exports against the driver
// service:
//  - BM_Download16MiB/log:0|1: a 16 MiB image to a device that imposes no
//    waits (no busy polls, no poll time-outs, 1 ms re-enumeration), with the
//    library's log file off and on. Counters: effective MB/s over the whole
//    run and host time per 4096-byte block, and the peak growth of this
//    process's resident memory during the run next to the image size.
//  - BM_RealisticDevice: a device that asks for poll waits and takes time to
//    re-enumerate; counters: the sum of the waits it imposes, the total time,
//    and the overhead beyond those waits.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "VldImage.h"
#include "common/QuietService.h"
#include "support/DriverServiceFixture.h"
#include "support/TempDir.h"
#include "vlmufwdl.h"

namespace {

using testsupport::DeviceDescription;
using testsupport::DriverServiceFixture;

// Writes an image of `payload` bytes to `path` and returns its size.
size_t WriteImage(const std::string& path, size_t payload) {
  vlmutool::VldImageLayout spec;
  spec.infoText = "benchmark firmware";
  spec.payload.resize(payload);
  uint32_t x = 12345;
  for (char& c : spec.payload) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  vlmutool::DfuSuffixFields suffix;
  spec.suffix = suffix;
  const std::string image = vlmutool::BuildVldImage(spec);
  std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  return image.size();
}

// Resident set size of this process in bytes (0 when unknown).
size_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

struct Run {
  uint32_t status = 0;
  double seconds = 0;
  double cpuSeconds = 0;  // this process, all threads (the worker included)
  size_t peakRssGrowth = 0;
};

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One download from open to close; polls every 0.2 ms so that polling adds
// next to nothing to the measured time.
Run Download(const std::string& path) {
  Run r;
  uint32_t count = 0;
  VLMUFWDL_EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count);
  if (count == 0 || VLMUFWDL_OpenDevice(0) != 0) {
    r.status = 0xFFFFFFFF;
    return r;
  }
  malloc_trim(0);
  const size_t base = ResidentBytes();
  std::atomic<bool> done{false};
  std::atomic<size_t> peak{base};
  std::thread sampler([&] {
    while (!done) {
      const size_t now = ResidentBytes();
      if (now > peak) peak = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  r.status = VLMUFWDL_StartDownload(path.c_str(), 0);
  uint32_t bytes = 0, total = 0;
  while (r.status == 0) {
    const uint32_t st = VLMUFWDL_GetDownloadStatus(&bytes, &total);
    if (st != VLMUFWDL_STATUS_DOWNLOAD_RUNNING) {
      r.status = st;
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.cpuSeconds = ProcessCpuSeconds() - cpu0;
  done = true;
  sampler.join();
  r.peakRssGrowth = peak > base ? peak - base : 0;
  while (VLMUFWDL_CloseDevice() == VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return r;
}

void BM_Download16MiB(benchmark::State& state) {
  DriverServiceFixture driver;
  if (!benchsupport::StartQuietService(state, driver)) return;
  DeviceDescription spec;
  spec.Reenumeration(1).Knob("manifestPolls", "0");
  const std::string id = driver.AddDevice(spec);
  const std::string path = driver.TempFile("fw16.vld");
  const size_t size = WriteImage(path, 16u << 20);
  const bool logOn = state.range(0) != 0;
  const std::string logPath = driver.TempFile("library.log");
  VLMUFWDL_EnableLogging(logOn ? logPath.c_str() : nullptr);
  VLMUFWDL_SetTimeout(0, 10000);

  double seconds = 0, cpu = 0;
  size_t peak = 0;
  for (auto _ : state) {
    const Run r = Download(path);
    if (r.status != 0) {
      state.SkipWithError(("download failed with status " + std::to_string(r.status)).c_str());
      break;
    }
    state.SetIterationTime(r.seconds);
    seconds += r.seconds;
    cpu += r.cpuSeconds;
    peak = std::max(peak, r.peakRssGrowth);
  }
  VLMUFWDL_EnableLogging(nullptr);
  const double runs = static_cast<double>(state.iterations());
  const double blocks = static_cast<double>((size + 4095) / 4096);
  state.counters["MB_per_s"] = static_cast<double>(size) * runs / seconds / 1e6;
  state.counters["us_per_block"] = seconds / runs / blocks * 1e6;
  // Host time the library's process spends per block (the 1-ms memory
  // sampler included), apart from waiting for the service.
  state.counters["cpu_us_per_block"] = cpu / runs / blocks * 1e6;
  state.counters["image_MiB"] = static_cast<double>(size) / (1 << 20);
  state.counters["peak_rss_growth_MiB"] = static_cast<double>(peak) / (1 << 20);
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}
BENCHMARK(BM_Download16MiB)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("log")
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_RealisticDevice(benchmark::State& state) {
  DriverServiceFixture driver;
  if (!benchsupport::StartQuietService(state, driver)) return;
  constexpr uint32_t kReenumerationMs = 200;
  constexpr uint32_t kBusyPollMs = 5;
  constexpr uint32_t kManifestPollMs = 20;
  constexpr uint32_t kManifestPolls = 5;
  DeviceDescription spec;
  spec.Reenumeration(kReenumerationMs)
      .Knob("busyPolls", "1")
      .Knob("manifestPolls", std::to_string(kManifestPolls))
      .Knob("pollTimeout", "{\"dfuDNBUSY\": " + std::to_string(kBusyPollMs) +
                               ", \"dfuMANIFEST\": " + std::to_string(kManifestPollMs) + "}");
  driver.AddDevice(spec);
  const std::string path = driver.TempFile("fw.vld");
  const size_t size = WriteImage(path, 256u << 10);
  const double blocks = static_cast<double>((size + 4095) / 4096);
  // Waits the device imposes: two re-enumerations (into DFU mode and back),
  // one busy poll per block, the manifestation polls.
  const double imposed = (2.0 * kReenumerationMs + blocks * kBusyPollMs + kManifestPolls * kManifestPollMs) / 1000.0;
  VLMUFWDL_EnableLogging(nullptr);
  VLMUFWDL_SetTimeout(0, 10000);
  double seconds = 0;
  for (auto _ : state) {
    const Run r = Download(path);
    if (r.status != 0) {
      state.SkipWithError(("download failed with status " + std::to_string(r.status)).c_str());
      break;
    }
    state.SetIterationTime(r.seconds);
    seconds += r.seconds;
  }
  const double mean = seconds / static_cast<double>(state.iterations());
  state.counters["imposed_ms"] = imposed * 1000.0;
  state.counters["total_ms"] = mean * 1000.0;
  state.counters["overhead_ms"] = (mean - imposed) * 1000.0;
  state.counters["overhead_pct"] = (mean - imposed) / imposed * 100.0;
}
BENCHMARK(BM_RealisticDevice)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
