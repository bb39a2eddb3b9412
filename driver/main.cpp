// velmora-driverd: the driver service. Stands in for the vendor's USB audio
// kernel driver on this platform: serves device interfaces of simulated
// devices, and of real USB devices where built with libusb, to the firmware
// library, the tools and the tests over a Unix domain socket.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Fd.h"
#include "JsonInput.h"
#include "ListenSocket.h"
#include "NumberText.h"
#include "Service.h"
#include "SourceFactory.h"
#include "platform/posix/DriverProtocol.h"

namespace {

void Usage(std::ostream& out) {
  out << "usage: velmora-driverd [--socket PATH] [--socket-group GROUP] [--devices DIR] [--device FILE]...\n"
         "                       [--trace FILE] [--frame-timeout MS] [--foreground]\n"
         "  --socket PATH   socket to listen on (default: $VLMU_DRIVER_SOCKET, else\n"
         "                  $XDG_RUNTIME_DIR/velmora/driver.sock, else for root "
      << driverproto::kSystemSocketPath
      << ")\n"
         "  --socket-group GROUP  members of GROUP may connect too (socket mode 0660; default: owner only)\n"
         "  --devices DIR   add every *.json device description in DIR (in name order)\n"
         "  --device FILE   add one device description (repeatable; added in the order given)\n"
         "  --trace FILE    append a JSON line for every request to FILE\n"
         "  --frame-timeout MS  drop a client whose frame is not complete MS ms after its first bytes (default 10000)\n"
         "  --foreground    stay in the foreground (default: detach, the starting process ending\n"
         "                  once the service is ready, with status 1 when it did not start)\n"
         "  --usb VID:PID,...     serve the USB devices with these ids (hex; repeatable)\n"
         "  --usb-any-dfu         also serve every USB device with a DFU interface\n"
         "  --usb-config FILE     USB settings from a JSON file (ids, anyDfu, interfaceClass, timeouts)\n"
         "  --usb-timeout MS      bound of one USB control transfer (default 5000)\n"
         "  -h, --help            show this help\n";
}

// Writes the service's message; returns the exit status.
int Fail(const std::string& error, int status) {
  std::cerr << "velmora-driverd: " << error << "\n";
  return status;
}

struct Settings {
  vlmudrv::Service::Options service;
  vlmudrv::SourceOptions sources;
  bool foreground = false;
  std::string usbConfigPath;
};

// A USB source without ids serves nothing: say so, and where to add them.
void WarnWithoutUsbIds(const Settings& s) {
  const vlmudrv::UsbOptions& usb = s.sources.usbOptions;
  if (!s.sources.usb || !usb.ids.empty() || usb.anyDfu) return;
  std::cerr << "velmora-driverd: no USB ids are set"
            << (s.usbConfigPath.empty() ? std::string() : " in " + s.usbConfigPath)
            << ", so no real device is served; add your interfaces' ids (lsusb shows them) to \"ids\" and "
               "start the service again\n";
}

// What an option does with its value: "" or the message the service stops
// with (exit status 2).
using Apply = std::string (*)(const std::string& value, Settings& s);

// A decimal number of milliseconds from 1 to `max`, or 0.
uint32_t Milliseconds(const std::string& text, uint32_t max) {
  uint64_t ms = 0;
  return vlmutool::ParseNumber(text, vlmutool::NumberBase::kDecimal, max, ms) ? static_cast<uint32_t>(ms) : 0;
}

std::string SocketGroup(const std::string& name, Settings& s) {
  if (const group* gr = ::getgrnam(name.c_str())) {
    s.service.socketGroup = gr->gr_gid;
    return "";
  }
  // A group id; (gid_t)-1 means "no group" to chown and is no group.
  uint64_t gid = 0;
  if (!vlmutool::ParseNumber(name, vlmutool::NumberBase::kDecimal, static_cast<gid_t>(-1) - 1u, gid))
    return "no group " + name;
  s.service.socketGroup = static_cast<gid_t>(gid);
  return "";
}

std::string FrameTimeout(const std::string& value, Settings& s) {
  const uint32_t ms = Milliseconds(value, 3600000);
  if (ms == 0) return "--frame-timeout needs a number of milliseconds from 1 to 3600000";
  s.service.frameTimeoutMs = ms;
  return "";
}

std::string DeviceDirectory(const std::string& dir, Settings& s) {
  std::error_code ec;
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().extension() == ".json") found.push_back(e.path().string());
  if (ec == std::errc::no_such_file_or_directory) {
    // A system service may be given a folder for simulated devices that an
    // administrator has not made: it serves the real ones alone.
    std::cerr << "velmora-driverd: no simulated devices: the folder " << dir << " does not exist\n";
    return "";
  }
  if (ec) return "cannot read directory " + dir + ": " + ec.message();
  std::sort(found.begin(), found.end());
  s.sources.deviceFiles.insert(s.sources.deviceFiles.end(), found.begin(), found.end());
  return "";
}

std::string UsbIds(const std::string& text, Settings& s) {
  std::string error;
  vlmudrv::ParseUsbIds(text, s.sources.usbOptions.ids, error);
  return error;
}

std::string UsbConfig(const std::string& file, Settings& s) {
  nlohmann::json j;
  std::string error;
  if (!vlmudrv::ReadJsonFile(file, j, error) || !vlmudrv::ParseUsbConfig(j, s.sources.usbOptions, error))
    return file + ": " + error + "; correct the file (see velmora-driverd(8)) and start the service again";
  s.usbConfigPath = file;
  return "";
}

std::string UsbTimeout(const std::string& value, Settings& s) {
  const uint32_t ms = Milliseconds(value, 600000);
  if (ms == 0) return "--usb-timeout needs milliseconds between 1 and 600000";
  s.sources.usbOptions.controlTimeoutMs = ms;
  return "";
}

struct Option {
  vlmutool::OptionSpec spec;
  bool usb;  // refused by a build without USB support
  Apply apply;
};

const Option kOptions[] = {
    {{"--socket", true, true},
     false,
     [](const std::string& v, Settings& s) -> std::string {
       s.service.socketPath = v;
       return "";
     }},
    {{"--socket-group", true, true}, false, SocketGroup},
    {{"--trace", true, true},
     false,
     [](const std::string& v, Settings& s) -> std::string {
       s.service.tracePath = v;
       return "";
     }},
    {{"--device", true, true},
     false,
     [](const std::string& v, Settings& s) -> std::string {
       s.sources.deviceFiles.push_back(v);
       return "";
     }},
    {{"--frame-timeout", true, true}, false, FrameTimeout},
    {{"--devices", true, true}, false, DeviceDirectory},
    {{"--foreground", false, true},
     false,
     [](const std::string&, Settings& s) -> std::string {
       s.foreground = true;
       return "";
     }},
    {{"--usb", true, true}, true, UsbIds},
    {{"--usb-any-dfu", false, true},
     true,
     [](const std::string&, Settings& s) -> std::string {
       s.sources.usbOptions.anyDfu = true;
       return "";
     }},
    {{"--usb-config", true, true}, true, UsbConfig},
    {{"--usb-timeout", true, true}, true, UsbTimeout},
    {{"--help", false, false, 'h'}, false, nullptr},
};

// Applies the options in the order given: --device and --devices add in
// that order, and of an option given twice the later value holds (a unit's
// command line may be extended). -1 to go on, else the exit status.
int ParseArguments(int argc, char** argv, Settings& s) {
  std::vector<vlmutool::OptionSpec> specs;
  for (const Option& o : kOptions) specs.push_back(o.spec);
  vlmutool::CommandLine line;
  std::string error;
  if (!line.Parse(std::vector<std::string>(argv + 1, argv + argc), specs, error) ||
      (!line.Operands().empty() && (error = "unexpected argument " + line.Operands().front(), true))) {
    Fail(error, 2);
    Usage(std::cerr);
    return 2;
  }
  if (line.Has("--help")) {
    Usage(std::cout);
    return 0;
  }
  for (const auto& [name, value] : line.Options()) {
    const Option& o = *std::find_if(std::begin(kOptions), std::end(kOptions),
                                    [&given = name](const Option& known) { return given == known.spec.name; });
    s.sources.usb = s.sources.usb || o.usb;
    error = o.usb && !vlmudrv::UsbSupported() ? name + ": this build has no USB support (built without libusb)"
                                              : o.apply(value, s);
    if (!error.empty()) return Fail(error, 2);
  }
  return -1;
}

// Without --socket: $VLMU_DRIVER_SOCKET, else the default socket in a
// directory of this user that nobody else may write to, so that no one can
// put a socket of their own in its place. -1 to go on, else the exit status.
int ChooseSocketPath(Settings& s) {
  std::string& path = s.service.socketPath;
  const char* env = std::getenv(driverproto::kSocketEnv);
  if (path.empty() && env != nullptr && *env != '\0') path = env;
  if (!path.empty()) return -1;
  const char* runtime = std::getenv(driverproto::kRuntimeDirEnv);
  if (runtime != nullptr && *runtime == '/') {
    path = std::string(runtime) + driverproto::kUserSocket;
  } else if (::geteuid() == 0) {
    path = driverproto::kSystemSocketPath;
  } else {
    std::cerr << "velmora-driverd: no socket path: give --socket, or set " << driverproto::kSocketEnv << " or "
              << driverproto::kRuntimeDirEnv << "\n";
    return 2;
  }
  std::string error;
  const std::string dir = std::filesystem::path(path).parent_path().string();
  return vlmudrv::PreparePrivateDirectory(dir, s.service.socketGroup, error) ? -1 : Fail(error, 1);
}

// SIGTERM and SIGINT end the service through the event loop: they arrive on
// the descriptor returned.
vlmudrv::Fd StopSignals() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return vlmudrv::Fd(signalfd(-1, &mask, SFD_CLOEXEC));
}

// Leaves the terminal once the socket listens. The starting process stays
// until the service is ready (Ready), then ends with status 0; when the
// service stops before that, having said why on the standard error both
// share, it ends with the service's status (1 at least). So whoever started
// the service learns whether it runs, and may connect at once.
class Detachment {
 public:
  // Returns in the service's process; false when it cannot fork.
  bool Detach() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    vlmudrv::Fd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid > 0) {
      writeEnd.Reset();
      char ready = 0;
      ssize_t n;
      do n = ::read(readEnd.Get(), &ready, 1);
      while (n < 0 && errno == EINTR);
      if (n == 1) std::_Exit(0);
      int status = 0;
      const bool failed = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) != 0;
      std::_Exit(failed ? WEXITSTATUS(status) : 1);
    }
    mReady = std::move(writeEnd);
    ::setsid();
    if (FILE* f = std::freopen("/dev/null", "r", stdin)) (void)f;
    return true;
  }
  // The service serves: the starting process may end.
  void Ready() {
    if (mReady.Valid()) (void)!::write(mReady.Get(), "1", 1);
    mReady.Reset();
  }

 private:
  vlmudrv::Fd mReady;  // the pipe to the starting process
};

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (const int status = ParseArguments(argc, argv, settings); status >= 0) return status;
  WarnWithoutUsbIds(settings);
  // A socket handed over by the service manager needs no path of its own.
  if (!vlmudrv::ListenSocket::HandedOver()) {
    if (const int status = ChooseSocketPath(settings); status >= 0) return status;
  }
  const vlmudrv::Fd stop = StopSignals();
  if (!stop.Valid()) {
    std::perror("velmora-driverd: signalfd");
    return 1;
  }

  vlmudrv::Service service(settings.service);
  std::string error;
  auto sources = vlmudrv::MakeSources(settings.sources, service.Timers(), service, error);
  if (!sources) return Fail(error, 2);
  service.SetSource(std::move(sources));
  if (!service.Listen(error)) return Fail(error, 1);
  Detachment detachment;
  if (!settings.foreground && !detachment.Detach()) {
    std::perror("velmora-driverd: cannot detach");
    return 1;
  }
  // libusb starts threads: the sources start once the service has detached.
  if (!service.Source()->Start(error) || !service.Prepare(stop.Get(), error)) return Fail(error, 1);
  std::fprintf(stderr, "velmora-driverd: listening on %s\n", service.SocketPath().c_str());
  detachment.Ready();
  service.Run();
  std::fprintf(stderr, "velmora-driverd: stopped\n");
  return 0;
}
