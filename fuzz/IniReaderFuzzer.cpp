// libFuzzer target: the INI ("private profile") reader and updater over
// file contents chosen by the fuzzer. The updated text must still give the
// value that was written.
//
// Input layout: section, key and value, each up to the next NUL byte, then
// the file content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/PrivateProfile.h"

namespace {

std::string Take(const uint8_t*& data, size_t& size) {
  std::string out;
  while (size > 0 && *data != 0) {
    out.push_back(static_cast<char>(*data));
    ++data;
    --size;
  }
  if (size > 0) {
    ++data;
    --size;
  }
  return out;
}

bool Writable(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string section = Take(data, size);
  const std::string key = Take(data, size);
  const std::string value = Take(data, size);
  const std::string content(reinterpret_cast<const char*>(data), size);
  (void)platform::ProfileLookup(content, section.c_str(), key.c_str(), "default");
  // Names the writer accepts (see WriteProfileValue).
  if (section.empty() || key.empty() || !Writable(section) || !Writable(key) || !Writable(value) ||
      section.find(']') != std::string::npos || key.find('=') != std::string::npos || Trimmed(key) != key ||
      Trimmed(section) != section || key[0] == '[' || key[0] == ';')
    return 0;
  const std::string updated = platform::ProfileUpdate(content, section.c_str(), key.c_str(), value.c_str(), "\n");
  const std::string back = platform::ProfileLookup(updated, section.c_str(), key.c_str(), "default");
  // A value is read back trimmed and without one pair of enclosing quotes.
  std::string expected = Trimmed(value);
  if (expected.size() >= 2 &&
      ((expected.front() == '"' && expected.back() == '"') || (expected.front() == '\'' && expected.back() == '\'')))
    expected = expected.substr(1, expected.size() - 2);
  if (back != expected && back != Trimmed(value)) std::abort();
  return 0;
}
