#pragma once
// printf-style filling of the program's texts. The string table's texts keep
// their C conversions ("Error 0x%02X", "%04u / %04u", "%d bytes of %d ...");
// this formatter fills them from typed arguments, so a text can never read an
// argument it was not given or read one as the wrong type.
//
// Conversions: %% %c %s %S %d %i %u %x %X, with the flags '0' and '-' and a
// width. %S takes text that has already been converted to the program's
// 8-bit text (UTF-8 here) and is written like %s. Integers are written with
// the value they hold: an unsigned count above 2^31 filled into %d stays
// positive. A conversion without an argument, or an unknown one, is written
// as it stands.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace vlmapp {

class FormatArg {
 public:
  FormatArg(uint32_t v) : mValue(static_cast<uint64_t>(v)) {}
  FormatArg(uint16_t v) : mValue(static_cast<uint64_t>(v)) {}
  FormatArg(uint8_t v) : mValue(static_cast<uint64_t>(v)) {}
  FormatArg(int32_t v) : mValue(static_cast<int64_t>(v)) {}
  FormatArg(char c) : mValue(c) {}
  FormatArg(std::string_view s) : mValue(s) {}
  FormatArg(const char* s) : mValue(std::string_view(s == nullptr ? "" : s)) {}
  FormatArg(const std::string& s) : mValue(std::string_view(s)) {}

  const std::variant<uint64_t, int64_t, char, std::string_view>& Value() const { return mValue; }

 private:
  std::variant<uint64_t, int64_t, char, std::string_view> mValue;
};

std::string FormatText(std::string_view pattern, std::initializer_list<FormatArg> args);

// UTF-16 (NUL-terminated within `maxUnits`) to UTF-8; unpaired surrogates
// become U+FFFD.
std::string Utf16ToUtf8(const uint16_t* text, size_t maxUnits);

}  // namespace vlmapp
