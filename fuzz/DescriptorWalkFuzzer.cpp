// libFuzzer target: the DFU descriptor search and the serial-number string
// over configuration and string descriptor bytes chosen by the fuzzer,
// answered through a fake transport.
//
// Input layout:
//   byte 0  bNumConfigurations (taken modulo 5)
//   byte 1  flags: bit 0 header answers 1-8 bytes short, bit 1 the full read
//           fails, bit 2 the full read answers only half, bit 3 also read the
//           device identity with the rest as the serial-number string
//   rest    the configuration descriptors, split evenly between configurations
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "dfu/DfuDevice.h"
#include "platform/DeviceFile.h"

namespace {

class NoFile final : public platform::DeviceFile {
 public:
  uint32_t IoControl(uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*) override { return 1; }
};

class FuzzDevice final : public DfuDevice {
 public:
  FuzzDevice(const uint8_t* data, size_t size) {
    mHandle = std::make_unique<NoFile>();
    const uint8_t count = size > 0 ? static_cast<uint8_t>(data[0] % 5) : 0;
    mFlags = size > 1 ? data[1] : 0;
    const uint8_t* rest = data + std::min<size_t>(size, 2);
    const size_t restSize = size > 2 ? size - 2 : 0;
    mRest.assign(rest, rest + restSize);
    const size_t chunk = count != 0 ? restSize / count : 0;
    for (uint8_t i = 0; i < count; ++i) {
      const size_t from = i * chunk;
      const size_t to = i + 1 == count ? restSize : from + chunk;
      mConfigurations.emplace_back(rest + from, rest + to);
    }
    // Device descriptor with iSerialNumber 1 and the configuration count.
    const uint8_t descriptor[18] = {18, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 1, 2, 1, count};
    std::memcpy(mDeviceDescriptor, descriptor, sizeof descriptor);
  }
  ~FuzzDevice() override { mHandle = nullptr; }

  bool ReadIdentity() const { return (mFlags & 8) != 0; }

  uint32_t GetDescriptor(void* buffer, uint32_t bufferSize, uint32_t* bytesReceived, uint32_t, uint8_t type,
                         uint8_t index, uint16_t) override {
    if (bytesReceived != nullptr) *bytesReceived = 0;
    if (buffer != nullptr && bufferSize != 0) std::memset(buffer, 0, bufferSize);
    const std::vector<uint8_t>* answer = nullptr;
    std::vector<uint8_t> languages{4, 3, 0x09, 0x04};
    std::vector<uint8_t> device(mDeviceDescriptor, mDeviceDescriptor + 18);
    if (type == 1) {
      answer = &device;
    } else if (type == 3) {
      answer = index == 0 ? &languages : &mRest;
    } else if (type == 2) {
      if (index >= mConfigurations.size()) return 31;
      if (bufferSize > 9 && (mFlags & 2) != 0) return 31;
      answer = &mConfigurations[index];
    } else {
      return 87;
    }
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(answer->size()), bufferSize);
    if (type == 2 && bufferSize == 9 && (mFlags & 1) != 0) n = n > 0 ? n - 1 - (mFlags >> 5) % n : 0;
    if (type == 2 && bufferSize > 9 && (mFlags & 4) != 0) n /= 2;
    if (n != 0) std::memcpy(buffer, answer->data(), n);
    if (bytesReceived != nullptr) *bytesReceived = n;
    return 0;
  }

 private:
  uint8_t mFlags = 0;
  std::vector<uint8_t> mRest;
  std::vector<std::vector<uint8_t>> mConfigurations;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzDevice device(data, size);
  if (device.ReadIdentity()) (void)device.ReadDeviceInfo();
  (void)device.GetDfuDescriptorData();
  // The walk alone, over the whole input as one configuration.
  DfuDescriptorSearch search;
  (void)WalkConfigurationDescriptor(std::span<const uint8_t>(data, size), 0, search);
  return 0;
}
