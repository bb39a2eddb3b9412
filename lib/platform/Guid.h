#pragma once
// 16-byte interface class identifier and its text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace platform {

struct Guid {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};

  bool IsZero() const { return *this == Guid{}; }
  friend bool operator==(const Guid& a, const Guid& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
  }
};
static_assert(sizeof(Guid) == 16, "Guid must be 16 bytes");

// Interface class of the vendor driver's devices, {49F4A1FF-55DD-4d45-9743-7B623EFF0361}.
inline constexpr Guid kVendorInterfaceClass{
    0x49F4A1FF, 0x55DD, 0x4d45, {0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61}};

// Reads exactly a braced GUID text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// with hex digits of either case. Returns false for anything else.
bool GuidFromText(std::string_view text, Guid& guid);

// CLSIDFromString stand-in: the same for a NUL-terminated UTF-16 text.
bool GuidFromString(const char16_t* text, Guid& guid);

// Braced text of a GUID, upper-case hex digits (lower-case on request, as
// interface paths carry them).
std::string GuidToString(const Guid& guid, bool lowerCase = false);

}  // namespace platform
