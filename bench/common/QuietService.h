#pragma once
// The driver service as benchmarks start it: without its request trace, a
// line per request that costs the service time no benchmark measures.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "support/DriverServiceFixture.h"

namespace benchsupport {

// Starts `driver` with `args` and turns its trace off; false when it did not start.
inline bool StartQuietService(testsupport::DriverServiceFixture& driver, const std::vector<std::string>& args = {}) {
  if (!driver.Start(args)) return false;
  std::string reply;
  return driver.Control(R"({"cmd":"trace","on":false})", reply) == 0;
}

// The same for a benchmark, which is skipped with the reason when the service did not start.
inline bool StartQuietService(benchmark::State& state, testsupport::DriverServiceFixture& driver,
                              const std::vector<std::string>& args = {}) {
  if (StartQuietService(driver, args)) return true;
  state.SkipWithError(("driver service: " + driver.LastError()).c_str());
  return false;
}

}  // namespace benchsupport
