#include "LogTestUtil.h"

#include <regex>

namespace logtest {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

bool HasDefaultPrefixThen(const std::string& line, const std::string& rest) {
  static const std::regex prefix(std::string("^") + kDefaultPrefix);
  std::smatch match;
  if (!std::regex_search(line, match, prefix)) return false;
  return line.substr(static_cast<size_t>(match.length(0))) == rest;
}

}  // namespace logtest
