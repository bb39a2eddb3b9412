#pragma once
// One reader of numbers given as text (command-line values, JSON texts such
// as "0x1234", configuration fields), with the base said explicitly: a
// leading zero never means octal.
#include <cstdint>
#include <limits>
#include <string_view>

namespace vlmutool {

enum class NumberBase {
  kDecimal,       // "123"
  kHex,           // "1a2B" or "0x1a2B"
  kDecimalOrHex,  // "123" or "0x1a2B"
};

// Parses all of `text`: digits of the base only (no sign, no blanks), at
// least one, the value at most `max`. False leaves `out` unchanged.
bool ParseNumber(std::string_view text, NumberBase base, uint64_t max, uint64_t& out);

// The same with the limit of the result's type.
template <typename T>
bool ParseNumber(std::string_view text, NumberBase base, T& out) {
  uint64_t value = 0;
  if (!ParseNumber(text, base, std::numeric_limits<T>::max(), value)) return false;
  out = static_cast<T>(value);
  return true;
}

}  // namespace vlmutool
