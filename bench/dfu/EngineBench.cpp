// The download worker alone: a 16 MiB image through the engine against a
// scripted in-process transport that accepts every block at once, with the
// log file off and on. Shows the host time the engine itself spends per
// 4096-byte block (request buffer, copy, progress record, log entries),
// apart from any driver round trip.
#include <benchmark/benchmark.h>

#include <vector>

#include "dfu/FakeDfuDevice.h"
#include "log/DiagnosticLog.h"
#include "support/TempDir.h"

namespace {

void BM_EngineOnly16MiB(benchmark::State& state) {
  testsupport::TempDir dir;
  DiagnosticLog& log = TheDiagnosticLog();
  if (!log.IsEnabled(LOG_ERROR)) log.Initialize(DiagnosticLog::StartupSettings{});
  const std::string logPath = dir.File("engine.log");
  if (state.range(0) != 0) log.SetLogFile(logPath.c_str(), 0x7FFFFFFF, false);

  std::vector<uint8_t> image(16u << 20);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131u);
  double seconds = 0;
  for (auto _ : state) {
    dfutest::FakeDfuDevice dev;
    dev.MakeOpen(DFU_DESC_bitCanDownload, 4096);
    dev.recordAll = false;
    dev.statuses = {{dfuIDLE}};  // already in DFU mode: no re-enumeration
    const auto t0 = std::chrono::steady_clock::now();
    if (dev.StartWorker(image) != 0 || !dev.WaitForWorker(600000) || dev.DownloadStatus().GetStatus() != 0) {
      state.SkipWithError("download failed");
      break;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    seconds += s;
  }
  if (state.range(0) != 0) log.StopLogFile();
  const double runs = static_cast<double>(state.iterations());
  state.counters["MB_per_s"] = static_cast<double>(image.size()) * runs / seconds / 1e6;
  state.counters["us_per_block"] = seconds / runs / (static_cast<double>(image.size()) / 4096) * 1e6;
}
BENCHMARK(BM_EngineOnly16MiB)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("log")
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
