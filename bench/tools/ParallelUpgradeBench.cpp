// Several devices upgraded from one vlmu-flash command (one worker process
// per device) through the driver service:
//  - BM_ParallelRealistic/devices:N: N devices that ask for poll waits and
//    take time to re-enumerate (as dfu_download_bench's BM_RealisticDevice),
//    a 256 KiB image each. With enough processors the total time stays near
//    that of one device: the waits overlap.
//  - BM_ParallelZeroWait/devices:N: N devices without waits, a 4 MiB image
//    each; counter MBps is the aggregate rate.
// Counters: cpu_s_per_device, the processor time of the tool, its workers
// and the service divided by N; load1, the machine's one-minute load when
// the run ended.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/ProcessCpu.h"
#include "common/QuietService.h"
#include "dfu/E2eSupport.h"
#include "support/BuildPaths.h"
#include "support/DriverServiceFixture.h"

extern char** environ;

namespace {

using testsupport::DeviceDescription;
using testsupport::DriverServiceFixture;

double LoadAverage() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

// Runs vlmu-flash with `args`; its output goes to /dev/null. Exit status.
int RunFlasher(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = testsupport::FlashBinary();
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int r = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RunParallel(benchmark::State& state, const DeviceDescription& spec, size_t payload) {
  const int devices = static_cast<int>(state.range(0));
  DriverServiceFixture driver;
  if (!benchsupport::StartQuietService(state, driver)) return;
  for (int i = 0; i < devices; ++i) {
    DeviceDescription d = spec;
    d.Id("d" + std::to_string(i)).Serial("BENCH-" + std::to_string(i));
    driver.AddDevice(d);
  }
  const std::string image = driver.TempFile("fw.vld");
  const std::string bytes = dfue2e::MakeImage(payload, 4242);
  testsupport::WriteFile(image, bytes);
  const size_t size = bytes.size();
  double seconds = 0, cpu = 0;
  for (auto _ : state) {
    const double cpuBefore =
        benchsupport::UsageCpuSeconds(RUSAGE_CHILDREN) + benchsupport::ProcessCpuSeconds(driver.Pid());
    const auto start = std::chrono::steady_clock::now();
    const int rc = RunFlasher({"--timeout-replug", "10000", "upgrade", image, "--all"});
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += benchsupport::UsageCpuSeconds(RUSAGE_CHILDREN) + benchsupport::ProcessCpuSeconds(driver.Pid()) - cpuBefore;
    if (rc != 0) {
      state.SkipWithError(("vlmu-flash exited with " + std::to_string(rc)).c_str());
      break;
    }
    state.SetIterationTime(s);
    seconds += s;
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["total_ms"] = seconds / n * 1000.0;
  state.counters["MBps"] = static_cast<double>(size) * devices * n / seconds / 1e6;
  state.counters["cpu_s_per_device"] = cpu / n / devices;
  state.counters["load1"] = LoadAverage();
}

// 1, 4 and 8 devices, three timed runs each.
void OneFourEightDevices(benchmark::internal::Benchmark* b) {
  b->ArgName("devices")->Arg(1)->Arg(4)->Arg(8)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
}

void BM_ParallelRealistic(benchmark::State& state) {
  DeviceDescription spec;
  spec.Reenumeration(200)
      .Knob("busyPolls", "1")
      .Knob("manifestPolls", "5")
      .Knob("pollTimeout", "{\"dfuDNBUSY\": 5, \"dfuMANIFEST\": 20}");
  RunParallel(state, spec, 256u << 10);
}
BENCHMARK(BM_ParallelRealistic)->Apply(OneFourEightDevices);

void BM_ParallelZeroWait(benchmark::State& state) {
  DeviceDescription spec;
  spec.Reenumeration(1);
  RunParallel(state, spec, 4u << 20);
}
BENCHMARK(BM_ParallelZeroWait)->Apply(OneFourEightDevices);

}  // namespace

BENCHMARK_MAIN();
