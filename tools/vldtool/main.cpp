// vldtool: command-line tool for people who build and check firmware images.
//
//   vldtool create --out FILE --version 0|1 --model N --sw-version N --hwid N
//                  --vendor-id 0xVVVVVV [--header-value N] --date YYYYMMDD
//                  --time HHMMSS [--info TEXT | --info-file F] --payload FILE
//                  [--suffix --vid N --pid N [--bcd N]]
//   vldtool info [--json] [--log FILE] IMAGE
//   vldtool verify [--log FILE] IMAGE
//
// info and verify ask the firmware download library, exactly as the upgrade
// program does, and exit with the library's status (0: valid image).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "CommandLine.h"
#include "ImageDisplay.h"
#include "NumberText.h"
#include "RegularFile.h"
#include "StatusText.h"
#include "VldImage.h"
#include "vlmufwdl.h"

namespace {

// Exit codes of the tool itself; library statuses (0 to 48) stay below them.
constexpr int kExitUsage = 64;
constexpr int kExitNoInput = 66;
constexpr int kExitCannotCreate = 73;

const char kUsage[] =
    "usage:\n"
    "  vldtool create --out FILE --version 0|1 --model N --sw-version N --hwid N\n"
    "                 --vendor-id 0xVVVVVV [--header-value N] --date YYYYMMDD --time HHMMSS\n"
    "                 [--info TEXT | --info-file FILE] --payload FILE\n"
    "                 [--suffix --vid N --pid N [--bcd N]]\n"
    "                 [--file-version N] [--corrupt-header-crc]\n"
    "  vldtool info [--json] [--log FILE] IMAGE\n"
    "  vldtool verify [--log FILE] IMAGE\n"
    "  vldtool -h | --help\n"
    "Numbers are decimal or 0x-prefixed hex. info and verify exit with the library's\n"
    "status (0: valid image); usage errors exit with 64, unreadable inputs with 66,\n"
    "unwritable outputs with 73.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vldtool: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

bool AllDigits(const std::string& text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Writes through a temporary file beside the target and renames it, so a
// failure never leaves a half-written image under the target name.
bool WriteImage(const std::string& path, const std::string& bytes, std::string& error) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot create '" + temp + "'";
      return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      error = "writing '" + temp + "' failed";
      std::error_code ec;
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    error = "cannot rename '" + temp + "' to '" + path + "': " + ec.message();
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

int Create(const std::vector<std::string>& args) {
  std::vector<vlmutool::OptionSpec> specs;
  for (const char* name :
       {"--out", "--version", "--model", "--sw-version", "--hwid", "--vendor-id", "--header-value", "--date", "--time",
        "--info", "--info-file", "--payload", "--vid", "--pid", "--bcd", "--file-version"})
    specs.push_back({name, true});
  specs.push_back({"--suffix"});
  specs.push_back({"--corrupt-header-crc"});
  vlmutool::CommandLine opts;
  std::string error;
  if (!opts.Parse(args, specs, error)) return UsageError(error);
  if (!opts.Operands().empty()) return UsageError("unexpected argument '" + opts.Operands()[0] + "'");
  for (const char* required :
       {"--out", "--version", "--model", "--sw-version", "--hwid", "--vendor-id", "--date", "--time", "--payload"}) {
    if (!opts.Has(required)) return UsageError(std::string("missing option ") + required);
  }

  vlmutool::VldImageLayout spec;
  struct NumberOption {
    const char* name;
    uint32_t max;
    uint32_t* target;
  };
  const NumberOption numbers[] = {
      {"--version", 1, &spec.version},
      {"--model", 0xFFFFFFFFu, &spec.modelId},
      {"--sw-version", 0xFFFFFFFFu, &spec.softwareVersion},
      {"--hwid", 0xFFFFFFFFu, &spec.hwId},
      {"--vendor-id", 0xFFFFFFu, &spec.vendorId},
      {"--header-value", 0xFFFFFFFFu, &spec.headerValue},
      {"--file-version", 0xFFFFFFFFu, &spec.fileVersion},
  };
  for (const NumberOption& n : numbers) {
    if (const std::string* text = opts.Value(n.name)) {
      uint64_t value = 0;
      if (!vlmutool::ParseNumber(*text, vlmutool::NumberBase::kDecimalOrHex, n.max, value))
        return UsageError(std::string("invalid value '") + *text + "' for " + n.name);
      *n.target = static_cast<uint32_t>(value);
    }
  }
  spec.date = *opts.Value("--date");
  spec.time = *opts.Value("--time");
  if (spec.date.size() != 8 || !AllDigits(spec.date)) return UsageError("--date takes 8 digits YYYYMMDD");
  if (spec.time.size() != 6 || !AllDigits(spec.time)) return UsageError("--time takes 6 digits HHMMSS");

  if (opts.Has("--info") && opts.Has("--info-file")) return UsageError("give --info or --info-file, not both");
  if (const std::string* text = opts.Value("--info")) spec.infoText = *text;
  if (const std::string* file = opts.Value("--info-file")) {
    if (!vlmutool::ReadRegularFile(*file, spec.infoText, error)) {
      std::fprintf(stderr, "vldtool: cannot read info file '%s': %s\n", file->c_str(), error.c_str());
      return kExitNoInput;
    }
  }
  if (!vlmutool::ReadRegularFile(*opts.Value("--payload"), spec.payload, error)) {
    std::fprintf(stderr, "vldtool: cannot read payload '%s': %s\n", opts.Value("--payload")->c_str(), error.c_str());
    return kExitNoInput;
  }

  if (opts.Has("--suffix")) {
    vlmutool::DfuSuffixFields suffix;
    if (!opts.Has("--vid") || !opts.Has("--pid")) return UsageError("--suffix needs --vid and --pid");
    struct Field {
      const char* name;
      uint16_t* target;
    };
    for (const Field& f :
         {Field{"--vid", &suffix.idVendor}, Field{"--pid", &suffix.idProduct}, Field{"--bcd", &suffix.bcdDevice}}) {
      if (const std::string* text = opts.Value(f.name)) {
        if (!vlmutool::ParseNumber(*text, vlmutool::NumberBase::kDecimalOrHex, *f.target))
          return UsageError(std::string("invalid value '") + *text + "' for " + f.name);
      }
    }
    spec.suffix = suffix;
  } else if (opts.Has("--vid") || opts.Has("--pid") || opts.Has("--bcd")) {
    return UsageError("--vid, --pid and --bcd belong to --suffix");
  }
  spec.corruptHeaderCrc = opts.Has("--corrupt-header-crc");

  if (spec.infoText.size() >= VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE) {
    std::fprintf(stderr, "vldtool: warning: the info text has %zu characters; readers show only the first %u\n",
                 spec.infoText.size(), VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE - 1);
  }
  if (spec.infoText.find('\0') != std::string::npos) {
    std::fprintf(stderr, "vldtool: warning: the info text contains a NUL byte; readers stop there\n");
  }

  const std::string image = vlmutool::BuildVldImage(spec, &error);
  if (image.empty()) return UsageError(error);
  const std::string& out = *opts.Value("--out");
  if (!WriteImage(out, image, error)) {
    std::fprintf(stderr, "vldtool: %s\n", error.c_str());
    return kExitCannotCreate;
  }
  std::printf("wrote %s (%zu bytes, version %u%s)\n", out.c_str(), image.size(), spec.version,
              spec.suffix ? ", DFU suffix" : "");
  return 0;
}

// Switches the library's log file on when --log was given.
bool StartLog(const vlmutool::CommandLine& opts) {
  const std::string* log = opts.Value("--log");
  if (log == nullptr) return true;
  const uint32_t status = VLMUFWDL_EnableLogging(log->c_str());
  if (status != 0) {
    std::fprintf(stderr, "vldtool: cannot write the log file '%s': %s\n", log->c_str(),
                 vlmutool::DescribeStatus(status).c_str());
    return false;
  }
  return true;
}

void StopLog(const vlmutool::CommandLine& opts) {
  if (opts.Has("--log")) VLMUFWDL_EnableLogging(nullptr);
}

int Describe(const std::vector<std::string>& args, bool verifyOnly) {
  std::vector<vlmutool::OptionSpec> specs = {{"--log", true}};
  if (!verifyOnly) specs.push_back({"--json"});
  vlmutool::CommandLine opts;
  std::string error;
  if (!opts.Parse(args, specs, error)) return UsageError(error);
  if (opts.Operands().size() != 1) return UsageError("expected one image file");
  const std::string& path = opts.Operands()[0];
  if (!StartLog(opts)) return kExitCannotCreate;

  VLMUFWDL_VLD_FILE_INFO info;
  const uint32_t status = VLMUFWDL_GetVldFileInfo(path.c_str(), &info);
  StopLog(opts);
  // Exit statuses carry the library's status; the defined ones are small.
  const int exitStatus = status <= 48 ? static_cast<int>(status) : 1;

  if (verifyOnly) {
    if (status == 0) {
      std::printf("OK: '%s' is a valid firmware image\n", vlmutool::Printable(path).c_str());
    } else {
      std::printf("FAILED: '%s': %s\n", vlmutool::Printable(path).c_str(), vlmutool::DescribeStatus(status).c_str());
    }
    return exitStatus;
  }
  if (opts.Has("--json")) {
    std::printf("%s\n", vlmutool::ImageJson(path, status, &info).c_str());
    return exitStatus;
  }
  if (status != 0) {
    std::fprintf(stderr, "vldtool: '%s': %s\n", vlmutool::Printable(path).c_str(),
                 vlmutool::DescribeStatus(status).c_str());
    return exitStatus;
  }
  std::fputs(vlmutool::DescribeImage(path, info).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return UsageError("no command");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "create") return Create(args);
    if (command == "info") return Describe(args, false);
    if (command == "verify") return Describe(args, true);
    if (command == "help" || command == "--help" || command == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vldtool: %s\n", e.what());
    return 70;
  }
  return UsageError("unknown command '" + command + "'");
}
