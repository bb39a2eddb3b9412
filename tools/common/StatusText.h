#pragma once
// Words for the firmware download library's status codes, shared by the
// command-line tools.
#include <cstdint>
#include <string>

namespace vlmutool {

// A short description of a library status ("success", "the DFU suffix CRC of
// the image file does not match", ...); "unknown status" for other values.
const char* StatusText(uint32_t status);

// True for the values the library defines.
bool IsKnownStatus(uint32_t status);

// "<text> (status 0xNN)" for messages.
std::string DescribeStatus(uint32_t status);

}  // namespace vlmutool
