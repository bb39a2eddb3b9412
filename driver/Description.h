#pragma once
// Simulated device descriptions (JSON, see docs/device-description.md):
// the run-time and DFU-mode personalities with their descriptors; the knobs
// of the simulated DFU behaviour are in Behaviour.h.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Behaviour.h"
#include "JsonInput.h"
#include "platform/Guid.h"

namespace vlmudrv {

// The device as the host sees it in one mode.
struct Personality {
  std::string path;  // device interface path; empty until the description is complete
  std::string deviceDescriptor;
  std::vector<std::string> configurations;
  std::map<uint8_t, std::string> strings;  // index -> whole string descriptor (index 0: language table)
  // First DFU interface (class 0xFE, subclass 1) found in the configurations
  // and the functional descriptor after it.
  bool hasDfuInterface = false;
  uint8_t dfuInterfaceNumber = 0;
  uint8_t dfuProtocol = 0;
  uint8_t dfuInterfaceString = 0;  // its iInterface
  bool hasFunctional = false;
  uint8_t attributes = 0;
  uint16_t detachTimeout = 0;
  uint16_t transferSize = 0;
};

// (clang-tidy takes the implicit move of the JSON members for one that may
// throw; it does not.)
struct Description {  // NOLINT(bugprone-exception-escape)
  std::string id;
  uint16_t vendorId = 0x1234;
  uint16_t productId = 0x5678;
  uint16_t bcdDevice = 0x0100;
  std::string serialNumber;
  platform::Guid interfaceClass;
  bool present = true;
  Personality runtime;
  Personality dfu;
  nlohmann::json source;     // the description as given
  nlohmann::json behaviour;  // knobs as given (merged by set-behaviour)
};

// Limits on what a description may make the service announce: interface
// paths travel in frames whose strings clients accept up to 4096 bytes, and a
// string descriptor holds at most 126 UTF-16 code units.
inline constexpr size_t kMaxIdLength = 256;
inline constexpr size_t kMaxStringUnits = 126;

// Builds a description; false with a message for anything malformed.
bool ParseDescription(const nlohmann::json& j, Description& out, std::string& error);
// Default interface path: \\?\usb#vid_XXXX&pid_XXXX#SERIAL#{guid}
std::string DefaultPath(uint16_t vid, uint16_t pid, const std::string& serial, const platform::Guid& guid);
// Finds the DFU interface and functional descriptor in a configuration.
void ScanDfu(Personality& p);
// String descriptor of a text (UTF-8 in, UTF-16LE out).
std::string StringDescriptor(const std::string& text);

}  // namespace vlmudrv
