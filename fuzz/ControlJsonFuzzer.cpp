// libFuzzer target: the driver service's control commands and device
// descriptions. Each input line is one command text, parsed with the
// service's limits and handed to the simulated devices; every reply must be
// printable as JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "Description.h"
#include "DeviceSource.h"
#include "Hex.h"
#include "SimulatedSource.h"

namespace {

// Timers are collected and run after each command, in due order.
class FuzzTimers final : public vlmudrv::Scheduler, public vlmudrv::DeviceEvents {
 public:
  uint64_t NowMs() const override { return mNow; }
  uint64_t Schedule(uint64_t delayMs, std::function<void()> fn) override {
    const uint64_t id = mNextId++;
    mQueue.emplace(id, Timer{mNow + delayMs, std::move(fn)});
    return id;
  }
  void Cancel(uint64_t id) override { mQueue.erase(id); }
  void OnDeviceChange(uint32_t, const platform::Guid&, const std::string& path) override {
    if (path.size() > 4096) std::abort();  // never announced: the protocol's limit
  }
  void RunAll() {
    for (int i = 0; i < 64 && !mQueue.empty(); ++i) {
      auto next = mQueue.begin();
      for (auto it = mQueue.begin(); it != mQueue.end(); ++it)
        if (it->second.due < next->second.due) next = it;
      Timer t = std::move(next->second);
      mQueue.erase(next);
      if (t.due > mNow) mNow = t.due;
      t.fn();
    }
  }

 private:
  struct Timer {
    uint64_t due;
    std::function<void()> fn;
  };
  uint64_t mNow = 0;
  uint64_t mNextId = 1;
  std::map<uint64_t, Timer> mQueue;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzTimers timers;
  vlmudrv::SimulatedSource source(timers, timers);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  for (int line = 0; line < 16 && !input.empty(); ++line) {
    const size_t nl = input.find('\n');
    const std::string_view text = input.substr(0, nl);
    input.remove_prefix(nl == std::string_view::npos ? input.size() : nl + 1);
    nlohmann::json cmd;
    std::string error;
    if (!vlmudrv::ParseJsonText(text, cmd, error) || !cmd.is_object()) continue;
    if (cmd.contains("cmd") && !cmd["cmd"].is_string()) continue;  // refused by the service before this
    uint32_t status = 0;
    nlohmann::json result = nlohmann::json::object();
    try {
      (void)source.Control(cmd, status, result);
    } catch (const nlohmann::json::exception&) {
      std::abort();  // a command must be refused with an error, never throw
    }
    (void)result.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);  // throws on text that is not UTF-8
    // Every listed path must fit the protocol.
    for (const auto& e : source.ListInterfaces(platform::kVendorInterfaceClass))
      if (e.path.size() > 4096) std::abort();
    timers.RunAll();
  }
  return 0;
}
