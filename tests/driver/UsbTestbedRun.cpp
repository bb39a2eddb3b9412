// usb_testbed_run: runs a program with one simulated device on a umockdev
// testbed (UsbTestbed), for tests that start the driver service the way a
// system would (tests/packaging/install_and_use_test.sh). Run it under
// umockdev-wrapper; the program inherits the testbed.
//
//   usb_testbed_run DEVICE.json FIRMWARE_OUT PROGRAM [ARGS...]
//
// The device (its description as the service's own) appears on bus 1, port
// 1. The testbed's files are open to every user, so that a program started
// under another user reaches the device. SIGTERM and SIGINT are passed on to
// the program; when it has ended, the firmware the device last received is
// written to FIRMWARE_OUT (nothing when it received none). The exit status
// is the program's (128 + signal when a signal ended it).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "UsbTestbed.h"

namespace {

volatile sig_atomic_t gChild = 0;

void PassOn(int signal) {
  if (gChild > 0) ::kill(static_cast<pid_t>(gChild), signal);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: usb_testbed_run DEVICE.json FIRMWARE_OUT PROGRAM [ARGS...]\n");
    return 2;
  }
  if (!usbtest::UsbTestbed::Active()) {
    std::fprintf(stderr, "usb_testbed_run: run it under umockdev-wrapper\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  std::stringstream description;
  description << in.rdbuf();
  ::umask(0);  // the testbed's nodes and sockets for the program's user too
  usbtest::UsbTestbed bed;
  const char* dir = std::getenv("UMOCKDEV_DIR");
  // A process under the testbed makes its own event socket in the folder.
  if (dir == nullptr || ::chmod(dir, 01777) != 0) {
    std::fprintf(stderr, "usb_testbed_run: cannot open the testbed folder to other users\n");
    return 2;
  }
  std::string error;
  const std::string id = bed.AddDevice(description.str(), 1, error);
  if (id.empty()) {
    std::fprintf(stderr, "usb_testbed_run: %s: %s\n", argv[1], error.c_str());
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = PassOn;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execvp(argv[3], argv + 3);
    std::perror("usb_testbed_run: exec");
    ::_exit(127);
  }
  gChild = child;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::string firmware;
  if (bed.GetFirmware(id, firmware) && !firmware.empty()) std::ofstream(argv[2], std::ios::binary) << firmware;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
