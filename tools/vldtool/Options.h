#pragma once
// Command-line parsing of vldtool.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vldtool {

// Options of the form --name VALUE or --flag, after the command word.
class OptionList {
 public:
  // `flags` names the options that take no value. Returns false and sets
  // `error` on an unknown or incomplete option.
  bool Parse(const std::vector<std::string>& args, const std::vector<std::string>& valued,
             const std::vector<std::string>& flags, std::string& error);

  bool Has(const std::string& name) const;
  const std::string* Value(const std::string& name) const;
  const std::vector<std::string>& Positional() const { return mPositional; }

 private:
  std::vector<std::pair<std::string, std::string>> mValues;
  std::vector<std::string> mFlags;
  std::vector<std::string> mPositional;
};

}  // namespace vldtool
