#pragma once
// Text compared as the system compares names that ignore case (interface
// paths, library names, INI sections and keys): ASCII letters of either case
// are equal, every other byte only to itself, whatever the locale.
#include <string_view>

namespace platform {

inline char AsciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

}  // namespace platform
