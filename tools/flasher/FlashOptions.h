#pragma once
// The command line of vlmu-flash: commands, options, device selectors and
// the exit statuses of the program.
#include <cstdint>
#include <string>
#include <vector>

namespace vlmuflash {

// Exit statuses besides the library's own (1..255).
inline constexpr int kExitUsage = 64;
inline constexpr int kExitNoService = 69;     // `list`: no driver service listens
inline constexpr int kExitNoPermission = 77;  // `list`: this user may not use the driver service
inline constexpr int kExitNoSuchDevice = 80;  // no device has the serial number / path; --all: none has the image's ids
inline constexpr int kExitAmbiguousSerial = 81;    // two present devices have the serial number
inline constexpr int kExitIdentityChanged = 82;    // the opened device is not the one selected: refused
inline constexpr int kExitSomeDevicesFailed = 83;  // several devices: at least one did not succeed
inline constexpr int kExitNotConfirmed = 84;       // --confirm answered with anything but "y"
inline constexpr int kExitInterrupted = 130;       // downloads aborted with a second Ctrl-C

struct Options {
  std::vector<std::string> words;  // command and its operands
  bool json = false;
  // Device selectors: a position in the list as enumerated now, or an
  // identity (serial numbers, interface paths; repeatable), or every device
  // that fits the image.
  bool haveDevice = false;
  uint32_t device = 0;
  std::vector<std::string> serials;
  std::vector<std::string> paths;
  bool all = false;
  bool watch = false;    // upgrade devices as they arrive, until interrupted
  bool again = false;    // --watch: a device plugged in again is upgraded again
  bool confirm = false;  // ask before writing to the device
  // Internal: this process is the worker of a multi-device run and must find
  // exactly this identity ("VVVV:PPPP:SERIAL", hex ids) at the --path given.
  std::string worker;
  std::string logFile;
  bool haveTimeout[3] = {false, false, false};
  uint32_t timeout[3] = {0, 0, 0};

  bool IdentitySelected() const { return !serials.empty() || !paths.empty(); }
  // More than one device, or devices found while running: one worker process each.
  bool ManyDevices() const { return all || watch || serials.size() + paths.size() > 1; }
};

extern const char kUsage[];

// Parses and checks the command line. Returns 0, or kExitUsage with
// `error` set ("help" for --help).
int ParseCommandLine(int argc, char** argv, Options& o, std::string& error);

// The time-out and log options of `o` as arguments for a worker process
// (the log file name gets ".SERIAL" appended, so workers write apart).
std::vector<std::string> WorkerArguments(const Options& o, const std::string& serial);

}  // namespace vlmuflash
