// velmora-driverd: the driver service. Stands in for the vendor's USB audio
// kernel driver on this platform: serves device interfaces of simulated
// devices to the firmware library, the tools and the tests over a Unix
// domain socket.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Service.h"
#include "SimulatedSource.h"
#include "platform/DriverProtocol.h"

namespace {

void Usage(std::ostream& out) {
  out << "usage: velmora-driverd [--socket PATH] [--devices DIR] [--device FILE]... [--trace FILE] [--foreground]\n"
         "  --socket PATH   socket to listen on (default: $VLMU_DRIVER_SOCKET or "
      << driverproto::kDefaultSocketPath
      << ")\n"
         "  --devices DIR   add every *.json device description in DIR (in name order)\n"
         "  --device FILE   add one device description (repeatable; added in the order given)\n"
         "  --trace FILE    append a JSON line for every request to FILE\n"
         "  --foreground    stay in the foreground (default: detach once listening)\n";
}

bool ReadJsonFile(const std::string& path, nlohmann::json& j, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  j = nlohmann::json::parse(ss.str(), nullptr, false);
  if (j.is_discarded()) {
    error = path + ": not valid JSON";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath, tracePath;
  std::vector<std::string> deviceFiles;
  bool foreground = false;
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
    else if (a == "--trace") tracePath = value("--trace");
    else if (a == "--device") deviceFiles.push_back(value("--device"));
    else if (a == "--devices") {
      const std::string dir = value("--devices");
      std::error_code ec;
      std::vector<std::string> found;
      for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().extension() == ".json") found.push_back(e.path().string());
      if (ec) {
        std::cerr << "velmora-driverd: cannot read directory " << dir << ": " << ec.message() << "\n";
        return 2;
      }
      std::sort(found.begin(), found.end());
      deviceFiles.insert(deviceFiles.end(), found.begin(), found.end());
    } else if (a == "--foreground") foreground = true;
    else if (a == "--help" || a == "-h") {
      Usage(std::cout);
      return 0;
    } else {
      std::cerr << "velmora-driverd: unknown option " << a << "\n";
      Usage(std::cerr);
      return 2;
    }
  }
  if (socketPath.empty()) {
    const char* env = std::getenv(driverproto::kSocketEnv);
    socketPath = env != nullptr && *env != '\0' ? env : driverproto::kDefaultSocketPath;
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

  vlmudrv::Service service({socketPath, tracePath});
  service.SetSource(std::make_unique<vlmudrv::SimulatedSource>(service, service));
  auto* source = static_cast<vlmudrv::SimulatedSource*>(service.Source());
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
  std::fprintf(stderr, "velmora-driverd: listening on %s\n", socketPath.c_str());
  service.Run(sigFd);
  close(sigFd);
  std::fprintf(stderr, "velmora-driverd: stopped\n");
  return 0;
}
