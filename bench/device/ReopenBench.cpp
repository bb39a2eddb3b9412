// Time from a simulated device's arrival to a completed CloseAndReopen:
// with the arrival/removal tracking (the reopen follows the notification)
// and, for comparison, with the 100 ms polling of the reopen.
#include <benchmark/benchmark.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "device/VlmuDeviceSet.h"
#include "dfu/DfuDevice.h"
#include "platform/Module.h"
#include "support/DriverServiceFixture.h"
#include "vlmufwdl.h"

namespace {

using Clock = std::chrono::steady_clock;

class BenchDevice : public VlmuDevice {};

struct Setup {
  testsupport::DriverServiceFixture driver;
  std::string id;
  VlmuDeviceSet set;
  BenchDevice device;
  bool ok = false;

  Setup() {
    if (!driver.Start()) return;
    id = driver.AddDevice(testsupport::DeviceDescription());
    if (id.empty()) return;
    if (set.Enumerate(VLMUFWDL_INTERFACE_GUID_STR) != 0 || set.DeviceCount() != 1) return;
    device.SetModuleInstance(platform::ThisModule());
    ok = device.Open(0, set.DeviceInfo(), &set.InterfaceGuid()) == 0;
  }
};

// Unplugs and re-plugs the device while CloseAndReopen runs on another
// thread; the iteration time is from the plug command to the reopen's end.
void Replug(benchmark::State& state, bool waitForReplug) {
  Setup s;
  if (!s.ok) {
    state.SkipWithError("driver service or device not available");
    return;
  }
  if (waitForReplug && s.device.StartPnPTracking() != 0) {
    state.SkipWithError("tracking could not be started");
    return;
  }
  for (auto _ : state) {
    auto reopen = std::async(std::launch::async, [&] {
      const uint32_t st = s.device.CloseAndReopen(waitForReplug, 5000);
      return std::make_pair(st, Clock::now());
    });
    if (!s.driver.Unplug(s.id)) {
      state.SkipWithError("unplug failed");
      break;
    }
    // Let the reopen reach its wait (tracking) or a few of its polls.
    std::this_thread::sleep_for(std::chrono::milliseconds(waitForReplug ? 5 : 130));
    const auto plugged = Clock::now();
    if (!s.driver.Plug(s.id)) {
      state.SkipWithError("plug failed");
      break;
    }
    const auto [st, done] = reopen.get();
    if (st != 0) {
      state.SkipWithError("CloseAndReopen failed");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(done - plugged).count());
  }
  s.device.Close();
}

void BM_ReopenAfterArrival_Tracking(benchmark::State& state) { Replug(state, true); }
void BM_ReopenAfterArrival_Polling(benchmark::State& state) { Replug(state, false); }

BENCHMARK(BM_ReopenAfterArrival_Tracking)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_ReopenAfterArrival_Polling)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
