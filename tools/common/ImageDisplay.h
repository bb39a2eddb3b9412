#pragma once
// Display forms of a firmware image description, as the upgrade program
// shows them: "0x%08X" numbers, the vendor id as six hex digits (most
// significant byte first) and the build date and time as
// "YYYY/MM/DD  HH:MM:SS".
#include <cstdint>
#include <string>
#include <string_view>

#include "vlmufwdl.h"

namespace vlmutool {

std::string FormatHex32(uint32_t value);             // "0x%08X"
std::string FormatVendorId(const uint8_t bytes[3]);  // "%02X%02X%02X"

// Date part "%c%c%c%c/%c%c/%c%c" of the first eight date characters (empty
// for an empty date), two spaces, time part "%c%c:%c%c:%c%c" of the first six
// time characters (empty for an empty time). Characters are taken as they
// stand; the text ends at the first NUL, as a C string would.
std::string FormatDateTime(std::string_view date, std::string_view time);

// Multi-line human-readable description of a record.
std::string DescribeImage(const std::string& path, const VLMUFWDL_VLD_FILE_INFO& info);

// One JSON object describing a record (status 0) or a failure.
std::string ImageJson(const std::string& path, uint32_t status, const VLMUFWDL_VLD_FILE_INFO* info);

// JSON string literal of 8-bit text: bytes of 0x80 and above are taken as
// Latin-1 characters and written as \u00XX, so no byte is lost.
std::string JsonString(const std::string& text);

// Text with control characters shown as \xNN, for terminal output.
std::string Printable(const std::string& text);

}  // namespace vlmutool
