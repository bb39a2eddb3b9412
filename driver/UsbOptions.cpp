#include "UsbOptions.h"

#include "NumberText.h"

namespace vlmudrv {

using nlohmann::json;

namespace {

// Four hex digits at most, with or without "0x".
bool ParseHex(const std::string& text, uint16_t& v) {
  const size_t digits = text.size() - (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0);
  return digits <= 4 && vlmutool::ParseNumber(text, vlmutool::NumberBase::kHex, v);
}

// The "ids" field: one text of VID:PID pairs or an array of such texts.
bool ParseIdsField(const json& value, UsbOptions& options, std::string& error) {
  if (value.is_string()) return ParseUsbIds(value.get<std::string>(), options.ids, error);
  if (!value.is_array()) {
    error = "\"ids\" must be a text or an array of texts";
    return false;
  }
  for (const auto& item : value) {
    if (!item.is_string() || !ParseUsbIds(item.get<std::string>(), options.ids, error)) {
      if (error.empty()) error = "\"ids\" must hold VID:PID texts";
      return false;
    }
  }
  return true;
}

// The time-out a field names, or nullptr.
uint32_t* TimeoutField(const std::string& key, UsbOptions& options) {
  if (key == "controlTimeoutMs") return &options.controlTimeoutMs;
  if (key == "resetSettleMs") return &options.resetSettleMs;
  if (key == "returnTimeoutMs") return &options.returnTimeoutMs;
  return nullptr;
}

bool IsTimeout(const json& value) {
  return value.is_number_unsigned() && value.get<uint64_t>() > 0 && value.get<uint64_t>() <= 600000;
}

}  // namespace

bool ParseUsbIds(const std::string& text, std::vector<std::pair<uint16_t, uint16_t>>& ids, std::string& error) {
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const size_t colon = item.find(':');
    uint16_t vid = 0, pid = 0;
    if (colon == std::string::npos || !ParseHex(item.substr(0, colon), vid) || !ParseHex(item.substr(colon + 1), pid)) {
      error = "not a VID:PID pair in hex: \"" + item + "\"";
      return false;
    }
    ids.emplace_back(vid, pid);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

bool ParseUsbConfig(const json& j, UsbOptions& options, std::string& error) {
  if (!j.is_object()) {
    error = "the USB configuration must be a JSON object";
    return false;
  }
  for (const auto& [key, value] : j.items()) {
    uint32_t* timeout = TimeoutField(key, options);
    if (key == "ids") {
      if (!ParseIdsField(value, options, error)) return false;
    } else if (key == "anyDfu" && value.is_boolean()) {
      options.anyDfu = value.get<bool>();
    } else if (key == "interfaceClass" && value.is_string()) {
      if (!platform::GuidFromText(value.get<std::string>(), options.interfaceClass)) {
        error = "\"interfaceClass\" is not a GUID text";
        return false;
      }
    } else if (timeout != nullptr && IsTimeout(value)) {
      *timeout = value.get<uint32_t>();
    } else {
      error = "unknown or malformed USB configuration field \"" + key + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace vlmudrv
