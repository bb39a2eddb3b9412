// Conversion between interface class identifiers and their braced text form.
#include "platform/Guid.h"

#include <cstdio>

namespace platform {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits from text[pos...]; false on any other character.
bool ReadHex(std::string_view text, size_t pos, size_t digits, uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int v = HexValue(text[pos + i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

bool GuidFromText(std::string_view text, Guid& guid) {
  // Layout: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' || text[19] != '-' ||
      text[24] != '-') {
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

bool GuidFromString(const char16_t* text, Guid& guid) {
  if (text == nullptr) return false;
  // Only ASCII characters can be part of the text; reading stops at the
  // terminator or one character past the 38 a GUID text has.
  char narrow[39];
  size_t n = 0;
  for (; n < sizeof narrow && text[n] != u'\0'; ++n) {
    if (text[n] > 0x7F) return false;
    narrow[n] = static_cast<char>(text[n]);
  }
  return GuidFromText(std::string_view(narrow, n), guid);
}

std::string GuidToString(const Guid& guid, bool lowerCase) {
  char text[39];
  std::snprintf(text, sizeof text,
                lowerCase ? "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}"
                          : "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2), static_cast<unsigned>(guid.Data3),
                guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                guid.Data4[7]);
  return text;
}

}  // namespace platform
