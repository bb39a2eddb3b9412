#include "SourceSet.h"

#include <iterator>

#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

bool SourceSet::Start(std::string& error) {
  for (const auto& s : mSources)
    if (!s->Start(error)) return false;
  return true;
}

std::vector<DeviceSource::WakeUp> SourceSet::WakeUps() {
  std::vector<WakeUp> all;
  for (const auto& s : mSources) {
    auto part = s->WakeUps();
    all.insert(all.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
  }
  return all;
}

std::vector<InterfaceEntry> SourceSet::ListInterfaces(const platform::Guid& interfaceClass) const {
  std::vector<InterfaceEntry> all;
  for (const auto& s : mSources) {
    auto part = s->ListInterfaces(interfaceClass);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

uint32_t SourceSet::Open(const std::string& path, DeviceHandle& handle) {
  for (size_t i = 0; i < mSources.size(); ++i) {
    DeviceHandle h;
    if (mSources[i]->Open(path, h) != 0) continue;
    handle = h;
    handle.device = (static_cast<uint64_t>(i) << kSourceShift) | h.device;
    return 0;
  }
  return driverproto::kErrorFileNotFound;
}

void SourceSet::IoControl(const DeviceHandle& handle, IoRequest request, IoCompletion done) {
  const size_t i = static_cast<size_t>(handle.device >> kSourceShift);
  if (i >= mSources.size()) return done(IoResult{driverproto::kErrorDeviceNotConnected, {}});
  DeviceHandle inner = handle;
  inner.device &= (uint64_t{1} << kSourceShift) - 1;
  mSources[i]->IoControl(inner, std::move(request), std::move(done));
}

bool SourceSet::Control(const nlohmann::json& command, uint32_t& error, nlohmann::json& result) {
  for (const auto& s : mSources)
    if (s->Control(command, error, result)) return true;
  return false;
}

}  // namespace vlmudrv
