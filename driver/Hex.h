#pragma once
// Hexadecimal and base64 text of byte strings (trace lines, control replies),
// and readable text of bytes that may not be UTF-8.
#include <cstdint>
#include <string>
#include <string_view>

namespace vlmudrv {

inline std::string ToHex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const auto b = static_cast<uint8_t>(ch);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

inline std::string ToBase64(std::string_view bytes) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16) |
                       (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8) |
                       static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(table[(v >> 18) & 63]);
    out.push_back(table[(v >> 12) & 63]);
    out.push_back(table[(v >> 6) & 63]);
    out.push_back(table[v & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest != 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
    out.push_back(table[(v >> 18) & 63]);
    out.push_back(table[(v >> 12) & 63]);
    out.push_back(rest == 2 ? table[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// Decodes base64 (padding optional, no whitespace). Returns false on bad input.
inline bool FromBase64(std::string_view text, std::string& out) {
  out.clear();
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (char ch : text) {
    int v;
    if (ch >= 'A' && ch <= 'Z')
      v = ch - 'A';
    else if (ch >= 'a' && ch <= 'z')
      v = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9')
      v = ch - '0' + 52;
    else if (ch == '+')
      v = 62;
    else if (ch == '/')
      v = 63;
    else if (ch == '=') {
      ++pad;
      continue;
    } else
      return false;
    if (pad != 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return pad <= 2;
}

// Length of the well-formed UTF-8 sequence at the start of `s` (overlong
// forms, surrogates and code points beyond U+10FFFF are not well formed), or
// 0 when there is none.
inline size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<uint8_t>(s[0]);
  if (b0 < 0x80) return 1;
  size_t n;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF)
    n = 2;
  else if (b0 == 0xE0)
    n = 3, lo = 0xA0;
  else if (b0 == 0xED)
    n = 3, hi = 0x9F;
  else if (b0 >= 0xE1 && b0 <= 0xEF)
    n = 3;
  else if (b0 == 0xF0)
    n = 4, lo = 0x90;
  else if (b0 >= 0xF1 && b0 <= 0xF3)
    n = 4;
  else if (b0 == 0xF4)
    n = 4, hi = 0x8F;
  else
    return 0;
  if (s.size() < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
  }
  return n;
}

inline bool IsUtf8(std::string_view s) {
  while (!s.empty()) {
    const size_t n = Utf8SequenceLength(s);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

// Bytes from devices and clients as JSON-safe text: well-formed UTF-8 is
// kept, every other byte becomes "\xNN". Where the text is not UTF-8 the
// replies and trace lines also carry the bytes in hex, so nothing is lost.
inline std::string EscapedText(std::string_view s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    const size_t n = Utf8SequenceLength(s);
    if (n != 0) {
      out.append(s.substr(0, n));
      s.remove_prefix(n);
      continue;
    }
    const auto b = static_cast<uint8_t>(s[0]);
    out += "\\x";
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
    s.remove_prefix(1);
  }
  return out;
}

}  // namespace vlmudrv
