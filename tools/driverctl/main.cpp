// velmora-driverctl: control tool of the driver service (velmora-driverd).
// Adds, removes, plugs and unplugs simulated devices, reads back the firmware
// a device received, switches the request trace and stops the service.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CommandLine.h"
#include "RegularFile.h"

#include "driver/Hex.h"
#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"

namespace {

using nlohmann::json;

int Usage(std::ostream& out, int rc) {
  out << "usage: velmora-driverctl [--socket PATH] COMMAND [ARGS]\n"
         "commands:\n"
         "  list                      devices with their state\n"
         "  interfaces                present interface paths of the vendor class\n"
         "  add FILE                  add a device from a description file\n"
         "  remove ID                 remove a device\n"
         "  plug ID | unplug ID       put a device on the bus / take it off\n"
         "  firmware ID OUTFILE       write the firmware the device received to OUTFILE\n"
         "  serial ID                 print the serial number the device stores\n"
         "  behaviour ID JSON         change behaviour knobs, e.g. '{\"busyPolls\":2}'\n"
         "  trace on [FILE] | trace off\n"
         "  raw JSON                  send any control command\n"
         "  shutdown                  stop the service\n"
         "options:\n"
         "  --socket PATH             socket of the service\n"
         "  -h, --help                show this help\n"
         "The socket is PATH, else $VLMU_DRIVER_SOCKET, else $XDG_RUNTIME_DIR/velmora/driver.sock when it\n"
         "exists, else "
      << driverproto::kSystemSocketPath << ".\n";
  return rc;
}

// The control command for the words `args` (command first) and the file a
// firmware reply goes to; -1 to go on, else the exit status.
int CommandFor(const std::vector<std::string>& args, json& command, std::string& outFile) {
  const std::string& cmd = args[0];
  auto need = [&args](size_t n) { return args.size() == n + 1; };
  if (cmd == "list") {
    if (!need(0)) return Usage(std::cerr, 2);
    command = {{"cmd", "list-devices"}};
  } else if (cmd == "interfaces") {
    if (!need(0)) return Usage(std::cerr, 2);
  } else if (cmd == "add") {
    if (!need(1)) return Usage(std::cerr, 2);
    std::string text, why;
    if (!vlmutool::ReadRegularFile(args[1], text, why, 1024 * 1024)) {
      std::cerr << "velmora-driverctl: " << args[1] << " is not a readable JSON file (" << why << ")\n";
      return 1;
    }
    const json desc = json::parse(text, nullptr, false);
    if (desc.is_discarded()) {
      std::cerr << "velmora-driverctl: " << args[1] << " is not a readable JSON file\n";
      return 1;
    }
    command = {{"cmd", "add-device"}, {"description", desc}};
  } else if (cmd == "remove" || cmd == "plug" || cmd == "unplug" || cmd == "serial") {
    if (!need(1)) return Usage(std::cerr, 2);
    command = {{"cmd", cmd == "remove" ? "remove-device" : cmd == "serial" ? "get-serial" : cmd}, {"id", args[1]}};
  } else if (cmd == "firmware") {
    if (!need(2)) return Usage(std::cerr, 2);
    command = {{"cmd", "get-firmware"}, {"id", args[1]}};
    outFile = args[2];
  } else if (cmd == "behaviour") {
    if (!need(2)) return Usage(std::cerr, 2);
    const json knobs = json::parse(args[2], nullptr, false);
    if (knobs.is_discarded()) {
      std::cerr << "velmora-driverctl: behaviour is not valid JSON\n";
      return 2;
    }
    command = {{"cmd", "set-behaviour"}, {"id", args[1]}, {"behaviour", knobs}};
  } else if (cmd == "trace") {
    if (args.size() < 2 || args.size() > 3 || (args[1] != "on" && args[1] != "off")) return Usage(std::cerr, 2);
    command = {{"cmd", "trace"}, {"on", args[1] == "on"}};
    if (args.size() == 3) command["file"] = args[2];
  } else if (cmd == "raw") {
    if (!need(1)) return Usage(std::cerr, 2);
    command = json::parse(args[1], nullptr, false);
    if (command.is_discarded()) {
      std::cerr << "velmora-driverctl: command is not valid JSON\n";
      return 2;
    }
  } else if (cmd == "shutdown") {
    if (!need(0)) return Usage(std::cerr, 2);
    command = {{"cmd", "shutdown"}};
  } else {
    return Usage(std::cerr, 2);
  }
  return -1;
}

// Sends `command` (`cmd` as the user typed it) to the service at
// `socketPath` and prints the reply, or writes the firmware to `outFile`.
int Execute(const std::string& socketPath, const std::string& cmd, const json& command, const std::string& outFile) {
  std::unique_ptr<platform::DriverConnection> conn;
  std::string message;
  uint32_t err = platform::DriverConnection::ConnectTo(socketPath, conn, "velmora-driverctl", 5000, &message);
  if (err != 0) {
    std::cerr << "velmora-driverctl: cannot connect to the driver service at " << socketPath << " (error " << err
              << (err == driverproto::kErrorServiceNotActive ? ": no service is listening"
                  : err == driverproto::kErrorAccessDenied
                      ? ": permission denied; the service admits its own user and the members of its socket group"
                      : "")
              << (message.empty() ? "" : ": " + message) << ")\n";
    return 1;
  }
  if (cmd == "interfaces") {
    std::vector<std::string> paths;
    const platform::Guid vendorClass = platform::kVendorInterfaceClass;
    err = conn->ListInterfaces(vendorClass, paths);
    if (err != 0) {
      std::cerr << "velmora-driverctl: ListInterfaces failed with " << err << "\n";
      return 1;
    }
    for (const auto& p : paths) std::cout << p << "\n";
    return 0;
  }
  std::string reply;
  err = conn->Control(command.dump(), reply);
  const json r = json::parse(reply, nullptr, false);
  if (err != 0) {
    std::cerr << "velmora-driverctl: " << cmd << " failed with " << err;
    if (r.is_object() && r.contains("error") && r["error"].is_string())
      std::cerr << ": " << r["error"].get<std::string>();
    std::cerr << "\n";
    return 1;
  }
  if (!outFile.empty()) {
    std::string bytes;
    if (!r.is_object() || !vlmudrv::FromBase64(r.value("base64", std::string()), bytes)) {
      std::cerr << "velmora-driverctl: malformed firmware reply\n";
      return 1;
    }
    std::ofstream out(outFile, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::cerr << "velmora-driverctl: cannot write " << outFile << "\n";
      return 1;
    }
    std::cout << bytes.size() << " bytes written to " << outFile << "\n";
    return 0;
  }
  std::cout << (r.is_discarded() ? reply : r.dump(2)) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Options stand before the command; the command's words may be anything.
  vlmutool::CommandLine line;
  std::string error;
  if (!line.Parse(std::vector<std::string>(argv + 1, argv + argc), {{"--socket", true}, {"--help", false, false, 'h'}},
                  error, true)) {
    std::cerr << "velmora-driverctl: " << error << "\n";
    return Usage(std::cerr, 2);
  }
  if (line.Has("--help")) return Usage(std::cout, 0);
  const std::string* socket = line.Value("--socket");
  const std::string socketPath = socket != nullptr ? *socket : platform::DriverConnection::SocketPath();
  const std::vector<std::string>& args = line.Operands();
  if (args.empty()) return Usage(std::cerr, 2);
  // Words the JSON library cannot take (text that is not UTF-8) end the
  // program with a message, never an abort.
  try {
    json command;
    std::string outFile;
    if (const int status = CommandFor(args, command, outFile); status >= 0) return status;
    return Execute(socketPath, args[0], command, outFile);
  } catch (const std::exception& e) {
    std::cerr << "velmora-driverctl: " << e.what() << "\n";
    return 2;
  }
}
