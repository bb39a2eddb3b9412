#include "FlashOptions.h"

#include <cctype>

#include "CommandLine.h"
#include "FlashText.h"
#include "NumberText.h"
#include "vlmufwdl.h"

namespace vlmuflash {

const char kUsage[] =
    "usage:\n"
    "  vlmu-flash [OPTIONS] list\n"
    "  vlmu-flash [OPTIONS] info IMAGE\n"
    "  vlmu-flash [OPTIONS] upgrade SELECTOR IMAGE\n"
    "  vlmu-flash [OPTIONS] upgrade IMAGE --watch [--serial TEXT|--path PATH ...] [--again]\n"
    "  vlmu-flash [OPTIONS] serial get SELECTOR\n"
    "  vlmu-flash [OPTIONS] serial set SELECTOR TEXT\n"
    "selectors:\n"
    "  --device N              the device at position N of the list as enumerated now\n"
    "  --serial TEXT           the device with this serial number (repeatable: several devices)\n"
    "  --path PATH             the device with this interface path (repeatable)\n"
    "  --all                   every device whose ids match the image's DFU suffix\n"
    "options:\n"
    "  --watch                 upgrade each device as it is plugged in, until Ctrl-C\n"
    "  --again                 with --watch: upgrade a device again when it is plugged in again\n"
    "  --confirm               show the device and ask before writing to it\n"
    "  --timeout-replug MS     time allowed for the device to come back after a reset\n"
    "  --timeout-block MS      polling time allowed per firmware block\n"
    "  --timeout-manifest MS   polling time allowed for the manifestation phase\n"
    "  --log FILE              write the library's diagnostic log to FILE\n"
    "  --json                  machine-readable output on stdout\n"
    "  -h, --help              show this help\n"
    "Exit status: 0 on success, otherwise the library's status; 64 usage error,\n"
    "69 no driver service, 77 driver service not allowed for this user,\n"
    "80 no such device, 81 serial number not unique,\n"
    "82 device changed before it was opened (refused), 83 some devices failed,\n"
    "84 not confirmed, 130 downloads aborted by Ctrl-C.\n";

namespace {

const char* const kTimeoutOptions[3] = {"--timeout-replug", "--timeout-block", "--timeout-manifest"};

const std::vector<vlmutool::OptionSpec> kSpecs = {
    {"--json", false, true},
    {"--all", false, true},
    {"--watch", false, true},
    {"--again", false, true},
    {"--confirm", false, true},
    {"--help", false, true, 'h'},
    {"--device", true, true},
    {"--serial", true, true},
    {"--path", true, true},
    {"--worker", true, true},
    {"--log", true, true},
    {kTimeoutOptions[0], true, true},
    {kTimeoutOptions[1], true, true},
    {kTimeoutOptions[2], true, true},
};

int CheckCombination(const Options& o, std::string& error) {
  const std::string& cmd = o.words.empty() ? std::string() : o.words[0];
  const size_t identities = o.serials.size() + o.paths.size();
  auto fail = [&](const std::string& message) {
    error = message;
    return kExitUsage;
  };
  if (o.haveDevice && (identities > 0 || o.all))
    return fail("--device cannot be combined with --serial, --path or --all");
  if (o.all && identities > 0) return fail("--all cannot be combined with --serial or --path");
  if ((o.all || o.watch) && cmd != "upgrade") return fail("--all and --watch are for upgrade");
  if (o.again && !o.watch) return fail("--again needs --watch");
  if (o.confirm && (o.ManyDevices() || o.json)) return fail("--confirm is for one device without --json");
  if (!o.worker.empty() && o.paths.size() != 1) return fail("a worker needs one --path");
  if (cmd == "upgrade" && !o.haveDevice && identities == 0 && !o.all && !o.watch)
    return fail("upgrade needs --device N, --serial TEXT, --path PATH, --all or --watch");
  if (cmd == "serial" && (o.haveDevice ? 1 : 0) + identities != 1)
    return fail("serial needs one device: --device N, --serial TEXT or --path PATH");
  return 0;
}

int CheckWords(const Options& o, std::string& error) {
  if (o.words.empty()) {
    error = "no command given";
    return kExitUsage;
  }
  const std::string& cmd = o.words[0];
  if (cmd != "list" && cmd != "info" && cmd != "upgrade" && cmd != "serial") {
    error = "unknown command '" + cmd + "'";
    return kExitUsage;
  }
  if ((cmd == "info" || cmd == "upgrade") && o.words.size() != 2) {
    error = cmd + " needs exactly one IMAGE";
    return kExitUsage;
  }
  if (cmd == "list" && o.words.size() != 1) {
    error = "list takes no operand";
    return kExitUsage;
  }
  if (cmd == "serial") {
    const std::string sub = o.words.size() > 1 ? o.words[1] : std::string();
    if (sub != "get" && sub != "set")
      error = "serial needs 'get' or 'set TEXT'";
    else if (sub == "get" && o.words.size() != 2)
      error = "serial get takes no operand";
    else if (sub == "set" && o.words.size() != 3)
      error = "serial set needs exactly one TEXT";
    if (!error.empty()) return kExitUsage;
  }
  return CheckCombination(o, error);
}

}  // namespace

int ParseCommandLine(int argc, char** argv, Options& o, std::string& error) {
  vlmutool::CommandLine line;
  if (!line.Parse(std::vector<std::string>(argv + 1, argv + argc), kSpecs, error)) return kExitUsage;
  if (line.Has("--help")) {
    error = "help";
    return kExitUsage;
  }
  o.words = line.Operands();
  o.json = line.Has("--json");
  o.all = line.Has("--all");
  o.watch = line.Has("--watch");
  o.again = line.Has("--again");
  o.confirm = line.Has("--confirm");
  o.serials = line.Values("--serial");
  o.paths = line.Values("--path");
  if (const std::string* w = line.Value("--worker")) o.worker = *w;
  for (const auto& [name, value] : line.Options()) {
    if ((name == "--serial" || name == "--path" || name == "--worker" || name == "--log") && value.empty()) {
      error = name + (name == "--log" ? " needs a file name" : " needs a text");
      return kExitUsage;
    }
  }
  if (const std::string* log = line.Value("--log")) o.logFile = *log;
  if (const std::string* v = line.Value("--device")) {
    if (!vlmutool::ParseNumber(*v, vlmutool::NumberBase::kDecimal, o.device)) {
      error = "--device needs a decimal index, not '" + *v + "'";
      return kExitUsage;
    }
    o.haveDevice = true;
  }
  for (int s = 0; s < 3; ++s) {
    const std::string* v = line.Value(kTimeoutOptions[s]);
    if (v == nullptr) continue;
    if (!vlmutool::ParseNumber(*v, vlmutool::NumberBase::kDecimal, o.timeout[s])) {
      error = std::string(kTimeoutOptions[s]) + " needs milliseconds (0 to 4294967295), not '" + *v + "'";
      return kExitUsage;
    }
    o.haveTimeout[s] = true;
  }
  return CheckWords(o, error);
}

std::vector<std::string> WorkerArguments(const Options& o, const std::string& serial) {
  std::string suffix = serial.empty() ? "noserial" : serial;
  for (char& c : suffix)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
  std::vector<std::string> args;
  for (int s = 0; s < 3; ++s)
    if (o.haveTimeout[s]) args.insert(args.end(), {kTimeoutOptions[s], std::to_string(o.timeout[s])});
  if (!o.logFile.empty()) args.insert(args.end(), {"--log", o.logFile + "." + suffix});
  return args;
}

}  // namespace vlmuflash
