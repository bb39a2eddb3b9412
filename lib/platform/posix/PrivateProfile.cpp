#include "platform/PrivateProfile.h"
#include "platform/AsciiText.h"

#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

namespace platform {

namespace {

// One physical line of the file: its text and its own line end ("", "\n" or "\r\n").
struct Line {
  std::string_view text;
  std::string_view end;
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < content.size()) {
    const size_t nl = content.find('\n', pos);
    if (nl == std::string_view::npos) {
      lines.push_back({content.substr(pos), {}});
      break;
    }
    size_t textEnd = nl;
    if (textEnd > pos && content[textEnd - 1] == '\r') --textEnd;
    lines.push_back({content.substr(pos, textEnd - pos), content.substr(textEnd, nl + 1 - textEnd)});
    pos = nl + 1;
  }
  return lines;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

using platform::EqualsIgnoreAsciiCase;

enum class Kind { Other, Section, Key };

struct Parsed {
  Kind kind = Kind::Other;
  std::string_view name;   // section or key name
  std::string_view value;  // key value, trimmed
};

Parsed Parse(std::string_view text) {
  Parsed parsed;
  const std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') return parsed;
  if (t.front() == '[') {
    const size_t close = t.find(']');
    parsed.kind = Kind::Section;
    parsed.name = Trim(t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return parsed;
  }
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return parsed;
  parsed.kind = Kind::Key;
  parsed.name = Trim(t.substr(0, eq));
  parsed.value = Trim(t.substr(eq + 1));
  return parsed;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Where a key lives in the file, or where it would be added.
struct Location {
  long keyLine = -1;          // line of the key
  long lastSectionLine = -1;  // last non-blank line of the first matching section
};

Location Find(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location location;
  bool inSection = false;
  bool firstSection = false;
  bool seenSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Parsed parsed = Parse(lines[i].text);
    if (parsed.kind == Kind::Section) {
      inSection = EqualsIgnoreAsciiCase(parsed.name, section);
      firstSection = inSection && !seenSection;
      if (inSection) seenSection = true;
      if (firstSection) location.lastSectionLine = static_cast<long>(i);
      continue;
    }
    if (!inSection) continue;
    if (parsed.kind == Kind::Key && EqualsIgnoreAsciiCase(parsed.name, key)) {
      location.keyLine = static_cast<long>(i);
      return location;
    }
    if (firstSection && !Trim(lines[i].text).empty()) location.lastSectionLine = static_cast<long>(i);
  }
  return location;
}

std::string_view LineEndOf(std::string_view content, const char* fallback) {
  const size_t nl = content.find('\n');
  if (nl == std::string_view::npos) return fallback;
  return (nl > 0 && content[nl - 1] == '\r') ? std::string_view("\r\n") : std::string_view("\n");
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Largest profile file read; a configuration file is a few lines.
constexpr off_t kMaxProfileSize = 1024 * 1024;

// Reads a whole profile file. Only a regular file of at most kMaxProfileSize
// bytes is read: a FIFO would block without end and a device (/dev/zero)
// might never end; either counts as a file that cannot be read.
bool ReadWholeFile(const char* fileName, std::string& content, bool& exists) {
  content.clear();
  exists = false;
  const int fd = ::open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;  // a missing file reads as empty
  exists = true;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxProfileSize;
  char buffer[4096];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    content.append(buffer, static_cast<size_t>(n));
    ok = content.size() <= static_cast<size_t>(kMaxProfileSize);  // the file grew meanwhile
  }
  ::close(fd);
  if (!ok) content.clear();
  return ok;
}

}  // namespace

std::string ProfileLookup(const std::string& content, const char* section, const char* key, const char* defaultValue) {
  std::string fallback = defaultValue != nullptr ? defaultValue : "";
  if (section == nullptr || key == nullptr) return fallback;
  const std::vector<Line> lines = SplitLines(content);
  const Location location = Find(lines, section, key);
  if (location.keyLine < 0) return fallback;
  return std::string(Unquote(Parse(lines[static_cast<size_t>(location.keyLine)].text).value));
}

std::string ProfileUpdate(const std::string& content, const char* section, const char* key, const char* value,
                          const char* newLine) {
  const std::vector<Line> lines = SplitLines(content);
  const Location location = Find(lines, section, key);
  const std::string_view eol = LineEndOf(content, newLine);
  std::string out;
  out.reserve(content.size() + 64);
  if (location.keyLine >= 0) {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (static_cast<long>(i) == location.keyLine) {
        out.append(Parse(lines[i].text).name).append("=").append(value);
      } else {
        out.append(lines[i].text);
      }
      out.append(lines[i].end);
    }
    return out;
  }
  if (location.lastSectionLine >= 0) {
    for (size_t i = 0; i < lines.size(); ++i) {
      out.append(lines[i].text);
      if (static_cast<long>(i) == location.lastSectionLine) {
        out.append(lines[i].end.empty() ? eol : lines[i].end);
        out.append(key).append("=").append(value);
        if (!lines[i].end.empty()) out.append(lines[i].end);
      } else {
        out.append(lines[i].end);
      }
    }
    return out;
  }
  out = content;
  if (!out.empty() && out.back() != '\n') out.append(eol);
  out.append("[").append(section).append("]").append(eol);
  out.append(key).append("=").append(value).append(eol);
  return out;
}

std::string ReadProfileValue(const char* section, const char* key, const char* defaultValue, const char* fileName) {
  std::string content;
  bool exists = false;
  if (fileName == nullptr || !ReadWholeFile(fileName, content, exists) || !exists) {
    return defaultValue != nullptr ? defaultValue : "";
  }
  return ProfileLookup(content, section, key, defaultValue);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* fileName) {
  if (section == nullptr || key == nullptr || value == nullptr || fileName == nullptr) return false;
  const std::string_view sectionView(section);
  const std::string_view keyView(key);
  // Names and values that would break the line structure are refused.
  if (sectionView.empty() || keyView.empty() || HasLineBreak(sectionView) || HasLineBreak(keyView) ||
      HasLineBreak(value) || sectionView.find(']') != std::string_view::npos ||
      keyView.find('=') != std::string_view::npos || Trim(keyView) != keyView || Trim(sectionView) != sectionView ||
      keyView.front() == '[' || keyView.front() == ';') {
    return false;
  }
  std::string content;
  bool exists = false;
  if (!ReadWholeFile(fileName, content, exists)) return false;
  const std::string updated = ProfileUpdate(content, section, key, value, "\n");
  FILE* file = OpenRegularFile(fileName, "wb");  // the file may have been replaced since the read
  if (file == nullptr) return false;
  const bool written = std::fwrite(updated.data(), 1, updated.size(), file) == updated.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

}  // namespace platform
