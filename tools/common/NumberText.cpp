#include "NumberText.h"

namespace vlmutool {

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

}  // namespace

bool ParseNumber(std::string_view text, NumberBase base, uint64_t max, uint64_t& out) {
  unsigned radix = base == NumberBase::kDecimal ? 10 : 16;
  const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (prefixed && base != NumberBase::kDecimal) {
    text.remove_prefix(2);
  } else if (base == NumberBase::kDecimalOrHex) {
    radix = 10;
  }
  if (text.empty()) return false;
  uint64_t value = 0;
  for (const char c : text) {
    const auto digit = static_cast<unsigned>(DigitValue(c));
    if (digit >= radix || digit > max || value > (max - digit) / radix) return false;
    value = value * radix + digit;
  }
  out = value;
  return true;
}

}  // namespace vlmutool
