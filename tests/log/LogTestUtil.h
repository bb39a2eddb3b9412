#pragma once
// Helpers for reading log files in tests.
#include <string>
#include <vector>

namespace logtest {

// Pattern of the default line prefix: thread id, time, two spaces.
inline constexpr const char* kDefaultPrefix = R"(\[T0x[0-9a-f]+\] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]:[0-9]{3}  )";

// The lines of `text` without their "\n"; a last line without "\n" is kept.
std::vector<std::string> Lines(const std::string& text);

// True when `line` is the default prefix followed by `rest` (taken literally).
bool HasDefaultPrefixThen(const std::string& line, const std::string& rest);

}  // namespace logtest
