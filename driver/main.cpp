// velmora-driverd: the driver service. Stands in for the vendor's USB audio
// kernel driver on this platform: serves device interfaces of simulated
// devices, and of real USB devices where built with libusb, to the firmware
// library, the tools and the tests over a Unix domain socket.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Description.h"
#include "Service.h"
#include "SimulatedSource.h"
#include "SourceSet.h"
#ifdef VLMU_WITH_LIBUSB
#include "UsbSource.h"
#endif
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
         "  --foreground    stay in the foreground (default: detach once listening)\n"
         "  --usb VID:PID,...     serve the USB devices with these ids (hex; repeatable)\n"
         "  --usb-any-dfu         also serve every USB device with a DFU interface\n"
         "  --usb-config FILE     USB settings from a JSON file (ids, anyDfu, interfaceClass, timeouts)\n"
         "  --usb-timeout MS      bound of one USB control transfer (default 5000)\n"
         "  -h, --help            show this help\n";
}

// Reads a JSON file a person writes (a device description, the USB
// configuration): a regular file (a FIFO or device would block or never end)
// of at most kMaxJsonText bytes; comments are allowed.
bool ReadJsonFile(const std::string& path, nlohmann::json& j, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  std::string text;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) {
    error = "not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > vlmudrv::kMaxJsonText) {
    error = "larger than " + std::to_string(vlmudrv::kMaxJsonText) + " bytes";
    ok = false;
  } else {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) {
          error = std::string("cannot read: ") + std::strerror(errno);
          ok = false;
        }
        break;
      }
      text.append(buf, static_cast<size_t>(n));
      if (text.size() > vlmudrv::kMaxJsonText) break;  // the file grew meanwhile: ParseJsonText refuses it
    }
  }
  ::close(fd);
  if (!ok) return false;
  return vlmudrv::ParseJsonText(text, j, error, true);
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath, tracePath;
  gid_t socketGroup = static_cast<gid_t>(-1);
  std::vector<std::string> deviceFiles;
  bool foreground = false;
  uint32_t frameTimeoutMs = vlmudrv::Service::Options{}.frameTimeoutMs;
  bool usb = false;
  std::string usbConfigPath;
#ifdef VLMU_WITH_LIBUSB
  vlmudrv::UsbOptions usbOptions;
  usbOptions.interfaceClass = vlmudrv::VendorInterfaceClass();
#endif
  auto usbOption = [&](const std::string& name, const std::string& text) {
    usb = true;
#ifdef VLMU_WITH_LIBUSB
    std::string error;
    bool ok = true;
    if (name == "--usb") {
      ok = vlmudrv::ParseUsbIds(text, usbOptions.ids, error);
    } else if (name == "--usb-any-dfu") {
      usbOptions.anyDfu = true;
    } else if (name == "--usb-config") {
      nlohmann::json j;
      usbConfigPath = text;
      ok = ReadJsonFile(text, j, error) && vlmudrv::ParseUsbConfig(j, usbOptions, error);
      if (!ok) error = text + ": " + error + "; correct the file (see velmora-driverd(8)) and start the service again";
    } else if (name == "--usb-timeout") {
      char* end = nullptr;
      const unsigned long v = std::strtoul(text.c_str(), &end, 10);
      ok = !text.empty() && *end == '\0' && v > 0 && v <= 600000;
      if (ok) usbOptions.controlTimeoutMs = static_cast<uint32_t>(v);
      else error = "--usb-timeout needs milliseconds between 1 and 600000";
    }
    if (!ok) {
      std::cerr << "velmora-driverd: " << error << "\n";
      std::exit(2);
    }
#else
    (void)text;
    std::cerr << "velmora-driverd: " << name << ": this build has no USB support (built without libusb)\n";
    std::exit(2);
#endif
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "velmora-driverd: " << name << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--socket") socketPath = value("--socket");
    else if (a == "--socket-group") {
      const std::string g = value("--socket-group");
      if (const group* gr = ::getgrnam(g.c_str())) {
        socketGroup = gr->gr_gid;
      } else {
        char* end = nullptr;
        const unsigned long gid = std::strtoul(g.c_str(), &end, 10);
        if (g.empty() || *end != '\0' || gid >= static_cast<unsigned long>(static_cast<gid_t>(-1))) {
          std::cerr << "velmora-driverd: no group " << g << "\n";
          return 2;
        }
        socketGroup = static_cast<gid_t>(gid);
      }
    }
    else if (a == "--trace") tracePath = value("--trace");
    else if (a == "--device") deviceFiles.push_back(value("--device"));
    else if (a == "--frame-timeout") {
      const std::string v = value("--frame-timeout");
      char* end = nullptr;
      const unsigned long ms = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || ms == 0 || ms > 3600000) {
        std::cerr << "velmora-driverd: --frame-timeout needs a number of milliseconds from 1 to 3600000\n";
        return 2;
      }
      frameTimeoutMs = static_cast<uint32_t>(ms);
    }
    else if (a == "--devices") {
      const std::string dir = value("--devices");
      std::error_code ec;
      std::vector<std::string> found;
      for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().extension() == ".json") found.push_back(e.path().string());
      if (ec == std::errc::no_such_file_or_directory) {
        // A system service may be given a folder for simulated devices that
        // an administrator has not made: it serves the real ones alone.
        std::cerr << "velmora-driverd: no simulated devices: the folder " << dir << " does not exist\n";
        continue;
      }
      if (ec) {
        std::cerr << "velmora-driverd: cannot read directory " << dir << ": " << ec.message() << "\n";
        return 2;
      }
      std::sort(found.begin(), found.end());
      deviceFiles.insert(deviceFiles.end(), found.begin(), found.end());
    } else if (a == "--usb" || a == "--usb-config" || a == "--usb-timeout") {
      const std::string v = value(a.c_str());
      usbOption(a, v);
    } else if (a == "--usb-any-dfu") usbOption(a, "");
    else if (a == "--foreground") foreground = true;
    else if (a == "--help" || a == "-h") {
      Usage(std::cout);
      return 0;
    } else {
      std::cerr << "velmora-driverd: unknown option " << a << "\n";
      Usage(std::cerr);
      return 2;
    }
  }
#ifdef VLMU_WITH_LIBUSB
  if (usb && usbOptions.ids.empty() && !usbOptions.anyDfu) {
    std::cerr << "velmora-driverd: no USB ids are set"
              << (usbConfigPath.empty() ? std::string() : " in " + usbConfigPath)
              << ", so no real device is served; add your interfaces' ids (lsusb shows them) to \"ids\" and "
                 "start the service again\n";
  }
#endif
  if (socketPath.empty()) {
    const char* env = std::getenv(driverproto::kSocketEnv);
    if (env != nullptr && *env != '\0') socketPath = env;
  }
  if (socketPath.empty()) {
    // The default socket lives in a directory of this user that nobody else
    // may write to, so that no one can put a socket of their own in its place.
    const char* runtime = std::getenv(driverproto::kRuntimeDirEnv);
    if (runtime != nullptr && *runtime == '/') {
      socketPath = std::string(runtime) + driverproto::kUserSocket;
    } else if (::geteuid() == 0) {
      socketPath = driverproto::kSystemSocketPath;
    } else {
      std::cerr << "velmora-driverd: no socket path: give --socket, or set " << driverproto::kSocketEnv << " or "
                << driverproto::kRuntimeDirEnv << "\n";
      return 2;
    }
    std::string error;
    if (!vlmudrv::Service::PreparePrivateDirectory(std::filesystem::path(socketPath).parent_path().string(), socketGroup,
                                                   error)) {
      std::cerr << "velmora-driverd: " << error << "\n";
      return 1;
    }
  }

  // SIGTERM and SIGINT end the service through the event loop.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
  if (sigFd < 0) {
    std::perror("velmora-driverd: signalfd");
    return 1;
  }

  vlmudrv::Service service({socketPath, tracePath, frameTimeoutMs, socketGroup});
  auto simulated = std::make_unique<vlmudrv::SimulatedSource>(service, service);
  auto* source = simulated.get();
  // libusb starts threads: it is started once the service has detached.
  std::function<bool(std::string&)> usbStart;
  if (!usb) {
    service.SetSource(std::move(simulated));
  } else {
#ifdef VLMU_WITH_LIBUSB
    // Simulated devices first, then the real ones: both served side by side.
    auto set = std::make_unique<vlmudrv::SourceSet>();
    set->Add(std::move(simulated));
    auto usbSource = std::make_unique<vlmudrv::UsbSource>(service, service, usbOptions);
    auto* u = usbSource.get();
    usbStart = [u](std::string& error) { return u->Start(error); };
    service.WatchReadable(u->WakeFd(), [u] { u->Drain(); });
    set->Add(std::move(usbSource));
    service.SetSource(std::move(set));
#endif
  }
  for (const auto& file : deviceFiles) {
    nlohmann::json j;
    std::string error, id;
    if (!ReadJsonFile(file, j, error) || !source->AddDevice(j, id, error)) {
      std::cerr << "velmora-driverd: " << file << ": " << error << "\n";
      return 2;
    }
  }
  std::string error;
  if (!service.Listen(error)) {
    std::cerr << "velmora-driverd: " << error << "\n";
    return 1;
  }
  if (!foreground) {
    // Detach only once the socket listens, so a caller may connect right away.
    const pid_t pid = fork();
    if (pid < 0) {
      std::perror("velmora-driverd: fork");
      return 1;
    }
    if (pid > 0) std::_Exit(0);
    setsid();
    if (FILE* f = std::freopen("/dev/null", "r", stdin)) (void)f;
  }
  if (usbStart && !usbStart(error)) {
    std::cerr << "velmora-driverd: " << error << "\n";
    return 1;
  }
  std::fprintf(stderr, "velmora-driverd: listening on %s\n", socketPath.c_str());
  service.Run(sigFd);
  // The sources go first, while the service's timers they cancel still exist;
  // the USB source joins its threads here.
  service.SetSource(nullptr);
  close(sigFd);
  std::fprintf(stderr, "velmora-driverd: stopped\n");
  return 0;
}
