#include "JsonInput.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "NumberText.h"

#include "Fd.h"

namespace vlmudrv {

using nlohmann::json;

void Fail(const std::string& message) { throw BadInput(message); }

uint64_t Num(const json& v, const std::string& what, uint64_t max) {
  uint64_t n = 0;
  if (v.is_number_unsigned()) {
    n = v.get<uint64_t>();
  } else if (v.is_number_integer()) {
    const int64_t s = v.get<int64_t>();
    if (s < 0) Fail(what + " must not be negative");
    n = static_cast<uint64_t>(s);
  } else if (v.is_string()) {
    // Decimal, or hex after "0x"; a leading zero is no octal mark.
    const std::string s = v.get<std::string>();
    if (!vlmutool::ParseNumber(s, vlmutool::NumberBase::kDecimalOrHex, n)) Fail(what + " is not a number: " + s);
  } else {
    Fail(what + " must be a number");
  }
  if (n > max) Fail(what + " is out of range: " + std::to_string(n));
  return n;
}

uint64_t Get(const json& o, const char* key, uint64_t def, uint64_t max) {
  if (!o.is_object() || !o.contains(key)) return def;
  return Num(o.at(key), key, max);
}

bool GetBool(const json& o, const char* key, bool def) {
  if (!o.contains(key)) return def;
  if (!o.at(key).is_boolean()) Fail(std::string(key) + " must be true or false");
  return o.at(key).get<bool>();
}

std::string GetString(const json& o, const char* key, const std::string& def) {
  if (!o.contains(key)) return def;
  if (!o.at(key).is_string()) Fail(std::string(key) + " must be a string");
  return o.at(key).get<std::string>();
}

std::string Bytes(const json& v, const std::string& what) {
  std::string out;
  if (v.is_array()) {
    for (const auto& b : v) out.push_back(static_cast<char>(Num(b, what + " byte", 255)));
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    std::string digits;
    for (char ch : s) {
      if (std::isxdigit(static_cast<unsigned char>(ch)))
        digits.push_back(ch);
      else if (ch != ' ' && ch != ',' && ch != ':' && ch != '\n')
        Fail(what + ": not a hex byte text");
    }
    if (digits.size() % 2 != 0) Fail(what + ": odd number of hex digits");
    for (size_t i = 0; i < digits.size(); i += 2)
      out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  } else {
    Fail(what + " must be a byte array or a hex text");
  }
  return out;
}

std::string Alternatives(std::initializer_list<const char*> values) {
  std::string text;
  size_t i = 0;
  for (const char* v : values) {
    if (i != 0) text += i + 1 == values.size() ? " or " : ", ";
    text += v;
    ++i;
  }
  return text;
}

bool ParseJsonText(std::string_view text, json& out, std::string& error, bool comments) {
  if (text.size() > kMaxJsonText) {
    error = "JSON text is longer than " + std::to_string(kMaxJsonText) + " bytes";
    return false;
  }
  // The nesting depth is measured before parsing: a deep value would be
  // walked recursively by everything that copies or prints it.
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (inString) {
      if (ch == '\\')
        ++i;
      else if (ch == '"')
        inString = false;
    } else if (ch == '"') {
      inString = true;
    } else if (comments && ch == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      // Brackets and quotes in a comment are no part of the value.
      const bool toLineEnd = text[i + 1] == '/';
      const size_t end = text.find(toLineEnd ? "\n" : "*/", i + 2);
      if (end == std::string_view::npos) break;  // the parser reports an unterminated comment
      i = toLineEnd ? end : end + 1;
    } else if (ch == '[' || ch == '{') {
      if (++depth > kMaxJsonDepth) {
        error = "JSON text is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return false;
      }
    } else if ((ch == ']' || ch == '}') && depth > 0) {
      --depth;
    }
  }
  try {
    out = json::parse(text, nullptr, true, comments);
  } catch (const json::parse_error& e) {
    // The line and column of the fault, for a person who edits the file.
    const size_t at = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
    const std::string_view before = text.substr(0, at);
    const size_t lineStart = before.rfind('\n');
    const size_t column = at - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
    error = "not valid JSON at line " + std::to_string(std::count(before.begin(), before.end(), '\n') + 1) +
            ", column " + std::to_string(column);
    return false;
  }
  return true;
}

namespace {

// The bytes of a regular file of at most kMaxJsonText bytes (a little more
// when it grew meanwhile: ParseJsonText refuses that).
bool ReadSmallFile(const std::string& path, std::string& text, std::string& error) {
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) {
    error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxJsonText) {
    error = "larger than " + std::to_string(kMaxJsonText) + " bytes";
    return false;
  }
  char buf[65536];
  while (text.size() <= kMaxJsonText) {
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::string("cannot read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool ReadJsonFile(const std::string& path, json& out, std::string& error) {
  std::string text;
  return ReadSmallFile(path, text, error) && ParseJsonText(text, out, error, true);
}

}  // namespace vlmudrv
