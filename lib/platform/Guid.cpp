// Conversion between interface class identifiers and their braced text form.
#include "platform/Guid.h"

#include <cstdio>

namespace platform {
namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hex digits from text[pos...]; false on any other character.
bool ReadHex(const char16_t* text, size_t pos, size_t digits, uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int v = HexValue(text[pos + i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

bool GuidFromString(const char16_t* text, Guid& guid) {
  // Layout: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} followed by the terminator.
  constexpr size_t kLength = 38;
  if (text == nullptr) return false;
  // Check the length first without reading past a shorter text's terminator.
  for (size_t i = 0; i < kLength; ++i) {
    if (text[i] == u'\0') return false;
  }
  if (text[kLength] != u'\0') return false;
  if (text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
      text[19] != u'-' || text[24] != u'-') {
    return false;
  }
  uint64_t d1 = 0, d2 = 0, d3 = 0, d4a = 0, d4b = 0;
  if (!ReadHex(text, 1, 8, d1) || !ReadHex(text, 10, 4, d2) || !ReadHex(text, 15, 4, d3) ||
      !ReadHex(text, 20, 4, d4a) || !ReadHex(text, 25, 12, d4b)) {
    return false;
  }
  Guid result;
  result.Data1 = static_cast<uint32_t>(d1);
  result.Data2 = static_cast<uint16_t>(d2);
  result.Data3 = static_cast<uint16_t>(d3);
  result.Data4[0] = static_cast<uint8_t>(d4a >> 8);
  result.Data4[1] = static_cast<uint8_t>(d4a);
  for (int i = 0; i < 6; ++i) {
    result.Data4[2 + i] = static_cast<uint8_t>(d4b >> (8 * (5 - i)));
  }
  guid = result;
  return true;
}

std::string GuidToString(const Guid& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace platform
