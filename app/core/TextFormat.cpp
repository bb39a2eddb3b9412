#include "TextFormat.h"

#include <cstddef>

namespace vlmapp {
namespace {

struct Spec {
  bool zeroPad = false;
  bool leftAlign = false;
  size_t width = 0;
  char conversion = 0;
};

void Pad(std::string& out, std::string_view body, const Spec& spec, bool numeric) {
  if (body.size() >= spec.width) {
    out.append(body);
    return;
  }
  const size_t fill = spec.width - body.size();
  if (spec.leftAlign) {
    out.append(body);
    out.append(fill, ' ');
  } else if (spec.zeroPad && numeric) {
    // Zeros go after a sign.
    if (!body.empty() && body.front() == '-') {
      out.push_back('-');
      body.remove_prefix(1);
    }
    out.append(fill, '0');
    out.append(body);
  } else {
    out.append(fill, ' ');
    out.append(body);
  }
}

// The digits of v, most significant first, after a minus sign when
// `negative`. Written backwards into a buffer rather than inserted at the
// front of a string, which GCC 12 at -O3 mistakes for an overlapping copy.
std::string Digits(uint64_t v, unsigned base, bool upper, bool negative = false) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char buffer[24];  // 20 decimal digits of 2^64 - 1, a sign, room to spare
  char* const end = buffer + sizeof buffer;
  char* first = end;
  do {
    *--first = digits[v % base];
    v /= base;
  } while (v != 0);
  if (negative) *--first = '-';
  return std::string(first, end);
}

// Writes one conversion; false when the argument does not fit it.
bool Convert(std::string& out, const Spec& spec, const FormatArg& arg) {
  const auto& value = arg.Value();
  switch (spec.conversion) {
    case 's':
    case 'S':
      if (const auto* s = std::get_if<std::string_view>(&value)) {
        Pad(out, *s, spec, false);
        return true;
      }
      return false;
    case 'c':
      if (const auto* c = std::get_if<char>(&value)) {
        Pad(out, std::string_view(c, 1), spec, false);
        return true;
      }
      return false;
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X': {
      const unsigned base = (spec.conversion == 'x' || spec.conversion == 'X') ? 16 : 10;
      std::string body;
      if (const auto* u = std::get_if<uint64_t>(&value)) {
        body = Digits(*u, base, spec.conversion == 'X');
      } else if (const auto* i = std::get_if<int64_t>(&value)) {
        if (*i < 0 && base == 10) {
          body = Digits(static_cast<uint64_t>(-(*i + 1)) + 1, 10, false, true);
        } else {
          // Hexadecimal of a negative 32-bit value: its two's complement.
          body = Digits(static_cast<uint32_t>(*i), base, spec.conversion == 'X');
        }
      } else {
        return false;
      }
      Pad(out, body, spec, true);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

std::string FormatText(std::string_view pattern, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(pattern.size() + 16);
  auto next = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out.push_back(pattern[i]);
      continue;
    }
    const size_t start = i;
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    Spec spec;
    size_t j = i + 1;
    for (; j < pattern.size() && (pattern[j] == '0' || pattern[j] == '-'); ++j) {
      if (pattern[j] == '0') spec.zeroPad = true;
      if (pattern[j] == '-') spec.leftAlign = true;
    }
    for (; j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9' && spec.width < 1000; ++j) {
      spec.width = spec.width * 10 + static_cast<size_t>(pattern[j] - '0');
    }
    if (j < pattern.size()) spec.conversion = pattern[j];
    if (next == args.end() || !Convert(out, spec, *next)) {
      // Written as it stands: nothing is read that was not given.
      const size_t end = j < pattern.size() ? j + 1 : j;
      out.append(pattern.substr(start, end - start));
    } else {
      ++next;
    }
    i = j < pattern.size() ? j : pattern.size() - 1;
  }
  return out;
}

std::string Utf16ToUtf8(const uint16_t* text, size_t maxUnits) {
  std::string out;
  if (text == nullptr) return out;
  auto put = [&out](uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  };
  for (size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    const uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < maxUnits && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      put(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      put(0xFFFD);
    } else {
      put(unit);
    }
  }
  return out;
}

}  // namespace vlmapp
