#include "CommandLine.h"

#include <getopt.h>

namespace vlmutool {

namespace {

constexpr int kLongBase = 256;  // getopt_long's value for spec i: kLongBase + i

// What getopt_long refused: a flag given a value, or an option it does not know.
std::string Unknown(const std::string& given, const std::vector<OptionSpec>& specs) {
  if (given.compare(0, 2, "--") != 0)
    return "unknown option " + (optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt)) : given);
  const std::string name = given.substr(0, given.find('='));
  for (const OptionSpec& s : specs)
    if (name == s.name && !s.takesValue && name != given) return "option " + name + " takes no value";
  return "unknown option " + given;
}

}  // namespace

bool CommandLine::Parse(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, std::string& error,
                        bool stopAtFirstOperand) {
  mOptions.clear();
  mOperands.clear();
  // getopt_long works on a writable argv with the program's name first.
  std::vector<std::string> words = {"program"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // '+': stop at the first operand; ':': a missing value answers ':'.
  std::string shorts = stopAtFirstOperand ? "+:" : ":";
  std::vector<option> longs;
  for (size_t i = 0; i < specs.size(); ++i) {
    longs.push_back(option{specs[i].name + 2, specs[i].takesValue ? required_argument : no_argument, nullptr,
                           kLongBase + static_cast<int>(i)});
    if (specs[i].shortName != 0) shorts += std::string(1, specs[i].shortName) + (specs[i].takesValue ? ":" : "");
  }
  longs.push_back(option{nullptr, 0, nullptr, 0});
  optind = 0;  // starts getopt_long afresh
  opterr = 0;  // the messages are ours
  const int argc = static_cast<int>(words.size());
  for (;;) {
    const int c = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), nullptr);
    if (c == -1) break;
    const std::string given = argv[optind - 1];
    if (c == ':') {
      error = "option " + given + " needs a value";
      return false;
    }
    const OptionSpec* spec = nullptr;
    if (c >= kLongBase) spec = &specs[static_cast<size_t>(c - kLongBase)];
    for (const OptionSpec& s : specs)
      if (c != '?' && s.shortName == c) spec = &s;
    if (spec == nullptr) {
      error = Unknown(given, specs);
      return false;
    }
    if (!spec->repeatable && Has(spec->name)) {
      error = std::string("option ") + spec->name + " is given twice";
      return false;
    }
    mOptions.emplace_back(spec->name, optarg != nullptr ? optarg : "");
  }
  for (int i = optind; i < argc; ++i) mOperands.emplace_back(argv[static_cast<size_t>(i)]);
  return true;
}

bool CommandLine::Has(std::string_view name) const { return Value(name) != nullptr; }

const std::string* CommandLine::Value(std::string_view name) const {
  const std::string* last = nullptr;
  for (const auto& [key, value] : mOptions)
    if (key == name) last = &value;
  return last;
}

std::vector<std::string> CommandLine::Values(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [key, value] : mOptions)
    if (key == name) values.push_back(value);
  return values;
}

}  // namespace vlmutool
