#pragma once
// Several device sources served as one: the simulated devices beside the
// real USB devices. Interfaces are listed source by source, in the order the
// sources were added; a handle remembers which source opened it.
#include <memory>
#include <vector>

#include "DeviceSource.h"

namespace vlmudrv {

class SourceSet final : public DeviceSource {
 public:
  void Add(std::unique_ptr<DeviceSource> source) { mSources.push_back(std::move(source)); }
  DeviceSource* At(size_t i) const { return i < mSources.size() ? mSources[i].get() : nullptr; }
  size_t Count() const { return mSources.size(); }

  // Starts the sources in order; stops at the first that cannot serve.
  bool Start(std::string& error) override;
  std::vector<WakeUp> WakeUps() override;
  std::vector<InterfaceEntry> ListInterfaces(const platform::Guid& interfaceClass) const override;
  uint32_t Open(const std::string& path, DeviceHandle& handle) override;
  void IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) override;
  bool Control(const nlohmann::json& command, uint32_t& error, nlohmann::json& result) override;

 private:
  // The source's index sits in the top byte of the handle's device number.
  static constexpr unsigned kSourceShift = 56;
  std::vector<std::unique_ptr<DeviceSource>> mSources;
};

}  // namespace vlmudrv
