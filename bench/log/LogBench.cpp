// Cost of log entries: a disabled type (the bit test at the call site), an
// enabled entry without a log file, and an entry written and flushed to the
// log file (with and without the size check after each entry).
#include <benchmark/benchmark.h>

#include "log/DiagnosticLog.h"
#include "support/TempDir.h"

namespace {

void BM_DisabledTypeEntry(benchmark::State& state) {
  DiagnosticLog& log = TheDiagnosticLog();  // DATA is disabled by default
  int value = 0;
  for (auto _ : state) {
    VLOG(LOG_DATA, "value %d\n", value);
    benchmark::DoNotOptimize(value);
    ++value;
  }
  if (log.IsEnabled(LOG_DATA)) state.SkipWithError("DATA unexpectedly enabled");
}
BENCHMARK(BM_DisabledTypeEntry);

void BM_EnabledEntryWithoutLogFile(benchmark::State& state) {
  DiagnosticLog log;
  log.Initialize(DiagnosticLog::StartupSettings{});
  int value = 0;
  for (auto _ : state) {
    log.Entry(LOG_INFO, "DfuDevice::DfuDnload: block %d of %d ...\n", value, 1000);
    ++value;
  }
}
BENCHMARK(BM_EnabledEntryWithoutLogFile);

void BM_EntryWrittenAndFlushed(benchmark::State& state) {
  testsupport::TempDir dir;
  DiagnosticLog log;
  log.Initialize(DiagnosticLog::StartupSettings{});
  const bool check = state.range(0) != 0;
  if (!log.SetLogFile(dir.File("bench.log").c_str(), 0xFFFFFFFFu, check)) {
    state.SkipWithError("log file did not open");
    return;
  }
  int value = 0;
  for (auto _ : state) {
    log.Entry(LOG_INFO, "DfuDevice::DfuDnload: block %d of %d ...\n", value, 1000);
    ++value;
  }
  state.SetBytesProcessed(state.iterations() * 80);
}
BENCHMARK(BM_EntryWrittenAndFlushed)->Arg(0)->Arg(1)->ArgName("checkSize");

}  // namespace
