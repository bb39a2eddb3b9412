#include "Options.h"

#include <algorithm>

namespace vldtool {

bool OptionList::Parse(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                       const std::vector<std::string>& flags, std::string& error) {
  const auto contains = [](const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      if (contains(flags, a)) {
        mFlags.push_back(a);
      } else if (contains(valued, a)) {
        if (i + 1 >= args.size()) {
          error = "option " + a + " needs a value";
          return false;
        }
        if (Value(a) != nullptr) {
          error = "option " + a + " is given twice";
          return false;
        }
        mValues.emplace_back(a, args[++i]);
      } else {
        error = "unknown option " + a;
        return false;
      }
    } else {
      mPositional.push_back(a);
    }
  }
  return true;
}

bool OptionList::Has(const std::string& name) const {
  return Value(name) != nullptr || std::find(mFlags.begin(), mFlags.end(), name) != mFlags.end();
}

const std::string* OptionList::Value(const std::string& name) const {
  for (const auto& [key, value] : mValues) {
    if (key == name) return &value;
  }
  return nullptr;
}

}  // namespace vldtool
