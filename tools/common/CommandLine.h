#pragma once
// The command line of the programs (vlmu-flash, vldtool, velmora-driverctl,
// velmora-driverd), read by getopt_long: "--name VALUE", "--name=VALUE" and
// flags, anywhere between the operands unless told to stop at the first
// one; "--" ends the options. The messages are the programs' own:
// "unknown option --x", "option --x needs a value", "option --x takes no
// value", "option --x is given twice".
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlmutool {

struct OptionSpec {
  const char* name;  // "--name"
  bool takesValue = false;
  bool repeatable = false;  // may be given more than once (Values gives all)
  char shortName = 0;       // "-x" as well, when not 0
};

class CommandLine {
 public:
  // Reads `args` (the words after the program's name). With
  // `stopAtFirstOperand`, everything from the first operand on is an
  // operand (a command and its words). False with `error` set.
  bool Parse(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, std::string& error,
             bool stopAtFirstOperand = false);

  bool Has(std::string_view name) const;
  // The value given last (null when the option was not given).
  const std::string* Value(std::string_view name) const;
  // Every value of the option, in the order given.
  std::vector<std::string> Values(std::string_view name) const;
  // Every option with its value ("" for a flag), in the order given.
  const std::vector<std::pair<std::string, std::string>>& Options() const { return mOptions; }
  const std::vector<std::string>& Operands() const { return mOperands; }

 private:
  std::vector<std::pair<std::string, std::string>> mOptions;
  std::vector<std::string> mOperands;
};

}  // namespace vlmutool
