#pragma once
// Reads the diagnostic log file back as entries "TYPE: text": the thread and
// time prefixes are removed; an entry whose message has no line end runs on
// into the next entry, which is split off at its thread prefix.
#include <regex>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace testlog {

inline std::vector<std::string> Entries(const std::string& logPath) {
  static const std::regex prefix(R"(\[T0x[0-9a-f]+\] (\d\d:\d\d:\d\d:\d\d\d|Unknown time)  )");
  const std::string content = testsupport::ReadTextFile(logPath);
  std::vector<std::string> entries;
  auto it = std::sregex_iterator(content.begin(), content.end(), prefix);
  const auto end = std::sregex_iterator();
  for (; it != end; ++it) {
    const auto next = std::next(it);
    const std::size_t from = static_cast<std::size_t>(it->position() + it->length());
    const std::size_t to = next == end ? content.size() : static_cast<std::size_t>(next->position());
    std::string text = content.substr(from, to - from);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    entries.push_back(text);
  }
  return entries;
}

// Entries of one type ("ERROR", "WARNING", "INFO", "API ->", "API <-"),
// without the type name.
inline std::vector<std::string> OfType(const std::vector<std::string>& entries, const std::string& type) {
  std::vector<std::string> out;
  const std::string head = type + ": ";
  for (const std::string& e : entries) {
    if (e.compare(0, head.size(), head) == 0) out.push_back(e.substr(head.size()));
  }
  return out;
}

}  // namespace testlog
