// From program start to the first filled device list: VelmoraFlashTool_x64 is
// started on the offscreen platform with the driver service serving three
// devices; the time runs until the library's log (which the program puts into
// its temporary directory) holds the third successful device-information
// return, that is until the third row has been added. The program is then
// killed and the next start begins with a fresh log and marker directory.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/DriverServiceFixture.h"
#include "support/SpawnProgram.h"
#include "support/TempDir.h"

namespace {

size_t CountListed(const std::string& log) {
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  size_t n = 0;
  for (size_t at = 0; (at = s.find("VLMUFWDL_GetDeviceInfo returning 0x00000000", at)) != std::string::npos; ++at) ++n;
  return n;
}

void BM_StartToFirstList(benchmark::State& state) {
  testsupport::DriverServiceFixture driver;
  if (!driver.Start()) {
    state.SkipWithError(driver.LastError().c_str());
    return;
  }
  for (int i = 0; i < 3; ++i) {
    driver.AddDevice(
        testsupport::DeviceDescription().Id("dev" + std::to_string(i)).Serial("SN000" + std::to_string(i)));
  }
  for (auto _ : state) {
    testsupport::TempDir dir;
    ::chmod(dir.path().c_str(), 0700);
    const std::string log = dir.File("VelmoraFlashTool_x64.log");

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = testsupport::SpawnProgram(
        VLMAPP_PROGRAM,
        {"TMPDIR=" + dir.path().string(), "XDG_RUNTIME_DIR=" + dir.path().string(), "QT_QPA_PLATFORM=offscreen"});
    if (pid < 0) {
      state.SkipWithError("cannot start the program");
      return;
    }
    bool listed = false;
    const auto limit = start + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < limit) {
      if (CountListed(log) >= 3) {
        listed = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const auto end = std::chrono::steady_clock::now();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    if (!listed) {
      state.SkipWithError("the list was not filled within 10 s");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}
BENCHMARK(BM_StartToFirstList)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
