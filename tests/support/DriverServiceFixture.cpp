// The driver service is a Linux program; this fixture starts and stops it
// with POSIX process calls.
#include "support/DriverServiceFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/posix/DriverConnection.h"
#include "platform/posix/DriverProtocol.h"
#include "support/BuildPaths.h"

extern char** environ;

namespace testsupport {

using nlohmann::json;

namespace {

json Parse(const std::string& text) { return json::parse(text, nullptr, false); }

uint64_t U(const json& j, const char* key) {
  return j.contains(key) && j.at(key).is_number_unsigned() ? j.at(key).get<uint64_t>() : 0;
}

std::string S(const json& j, const char* key) {
  return j.contains(key) && j.at(key).is_string() ? j.at(key).get<std::string>() : std::string();
}

}  // namespace

std::string DriverServiceBinary() { return BuildDir() + "/driver/velmora-driverd"; }

// --------------------------------------------------- DriverServiceFixture

DriverServiceFixture::DriverServiceFixture() : ServiceControl("") {
  mSocketPath = mDir.File("driver.sock");
  mTracePath = mDir.File("trace.jsonl");
  mLogPath = mDir.File("driver.log");
}

DriverServiceFixture::~DriverServiceFixture() {
  Disconnect();
  Stop(5000);
  if (mEnvSet) {
    if (mSavedEnv)
      ::setenv(driverproto::kSocketEnv, mSavedEnv->c_str(), 1);
    else
      ::unsetenv(driverproto::kSocketEnv);
  }
}

bool DriverServiceFixture::Start(const std::vector<std::string>& extraArgs) {
  if (mPid > 0) {
    mLastError = "service already started";
    return false;
  }
  mExitStatus.reset();
  std::vector<std::string> args = {DriverServiceBinary(), "--foreground", "--socket",
                                   mSocketPath,           "--trace",      mTracePath};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, mLogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    mLastError = "cannot start " + args[0] + ": " + std::to_string(rc);
    return false;
  }
  mPid = pid;

  if (!mEnvSet) {
    const char* old = std::getenv(driverproto::kSocketEnv);
    if (old != nullptr) mSavedEnv = old;
    mEnvSet = true;
  }
  ::setenv(driverproto::kSocketEnv, mSocketPath.c_str(), 1);

  // A connection to an earlier run of the service says nothing about this one.
  Disconnect();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) {
      mLastError = "the service ended at start-up: " + LogTail();
      return false;
    }
    if (Connect() == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  mLastError = "the service did not answer within 10 s: " + LogTail();
  Kill();
  return false;
}

bool DriverServiceFixture::Running() {
  if (mPid <= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(mPid, &status, WNOHANG);
  if (r == mPid) {
    mExitStatus = status;
    mPid = -1;
    return false;
  }
  return r == 0;
}

void DriverServiceFixture::Reap(uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

bool DriverServiceFixture::Stop(uint32_t timeoutMs) {
  Disconnect();
  if (!Running()) return true;
  ::kill(mPid, SIGTERM);
  Reap(timeoutMs);
  if (!Running()) return true;
  Kill();
  return false;
}

void DriverServiceFixture::Kill() {
  Disconnect();
  if (mPid <= 0) return;
  ::kill(mPid, SIGKILL);
  int status = 0;
  if (::waitpid(mPid, &status, 0) == mPid) mExitStatus = status;
  mPid = -1;
}

std::string DriverServiceFixture::LogTail() const {
  std::string log = ReadFile(mLogPath);
  return log.size() > 2000 ? log.substr(log.size() - 2000) : log;
}

std::vector<TraceEntry> DriverServiceFixture::ReadTrace() const {
  std::vector<TraceEntry> out;
  std::ifstream in(mTracePath);
  std::string line;
  while (std::getline(in, line)) {
    const json j = Parse(line);
    if (!j.is_object()) continue;  // a line still being written
    TraceEntry e;
    e.raw = line;
    e.op = S(j, "op");
    e.path = S(j, "path");
    e.client = U(j, "client");
    e.code = static_cast<uint32_t>(std::strtoul(S(j, "code").c_str(), nullptr, 16));
    e.result = static_cast<uint32_t>(U(j, "result"));
    e.inLength = static_cast<uint32_t>(U(j, "inLength"));
    e.outSize = static_cast<uint32_t>(U(j, "outSize"));
    e.bytesReturned = static_cast<uint32_t>(U(j, "bytesReturned"));
    e.dataLength = static_cast<uint32_t>(U(j, "dataLength"));
    e.dataHex = S(j, "data");
    e.outHex = S(j, "out");
    if (j.contains("setup")) {
      const json& s = j.at("setup");
      e.hasSetup = true;
      e.direction = static_cast<uint8_t>(U(s, "direction"));
      e.type = static_cast<uint32_t>(U(s, "type"));
      e.recipient = static_cast<uint32_t>(U(s, "recipient"));
      e.bRequest = static_cast<uint8_t>(U(s, "bRequest"));
      e.wValue = static_cast<uint16_t>(U(s, "wValue"));
      e.wIndex = static_cast<uint16_t>(U(s, "wIndex"));
      e.wLength = static_cast<uint16_t>(U(s, "wLength"));
    }
    if (j.contains("descriptor")) {
      const json& d = j.at("descriptor");
      e.hasDescriptor = true;
      e.descriptorType = static_cast<uint8_t>(U(d, "type"));
      e.descriptorIndex = static_cast<uint8_t>(U(d, "index"));
      e.languageId = static_cast<uint16_t>(U(d, "languageId"));
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<TraceEntry> DriverServiceFixture::ReadIoTrace(uint32_t code) const {
  std::vector<TraceEntry> out;
  for (auto& e : ReadTrace())
    if (e.op == "ioctl" && (code == 0 || e.code == code)) out.push_back(std::move(e));
  return out;
}

void DriverServiceFixture::ClearTrace() const {
  // The service appends; truncating in place keeps its descriptor valid.
  if (::truncate(mTracePath.c_str(), 0) != 0) {
    std::ofstream(mTracePath, std::ios::trunc);
  }
}

}  // namespace testsupport
