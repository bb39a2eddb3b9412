#include "Trace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "EventLoop.h"
#include "Hex.h"
#include "IoRequestLayout.h"

namespace vlmudrv {

using nlohmann::json;

namespace {

std::string CodeText(uint32_t code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", code);
  return buf;
}

// Setup packet and data of a control request, or the fields of a descriptor request.
void AddRequestFields(json& line, const IoTrace& t) {
  if (t.code == driverproto::kIoctlControlRequest && t.inLength >= ControlSetup::kSize) {
    const ControlSetup s = ControlSetup::Read(t.inHead);
    line["setup"] = {{"direction", s.direction}, {"type", s.type},     {"recipient", s.recipient},
                     {"bRequest", s.bRequest},   {"wValue", s.wValue}, {"wIndex", s.wIndex},
                     {"wLength", s.wLength}};
    const size_t dataLen = t.inLength - ControlSetup::kSize;
    line["dataLength"] = dataLen;
    line["data"] = ToHex(std::string_view(t.inHead).substr(ControlSetup::kSize, std::min<size_t>(dataLen, 64)));
  } else if (t.code == driverproto::kIoctlGetDescriptor && t.inLength >= DescriptorRequest::kSize) {
    const DescriptorRequest d = DescriptorRequest::Read(t.inHead);
    line["descriptor"] = {{"reserved", d.reserved}, {"type", d.type}, {"index", d.index}, {"languageId", d.languageId}};
  }
}

}  // namespace

std::string JsonText(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

IoTrace::IoTrace(const IoRequest& request, std::string_view in, std::string devicePath)
    : code(request.code),
      outSize(request.outSize),
      inLength(in.size()),
      inHead(in.substr(0, kTracedInput)),
      path(std::move(devicePath)) {}

bool Trace::Set(bool on, const std::string& path, std::string& error) {
  if (!path.empty() && path != mPath) {
    mFd.Reset();
    mOn = false;
    mPath.clear();
    // A symbolic link is not followed (it could point anywhere), and only a
    // regular file is written (a FIFO would block the service).
    Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
      error = "cannot open trace file " + path + ": " + std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      error = "cannot open trace file " + path + ": not a regular file";
      return false;
    }
    mFd = std::move(fd);
    mPath = path;
  }
  if (on && !mFd.Valid()) {
    error = "no trace file given";
    return false;
  }
  mOn = on;
  return true;
}

void Trace::Line(json line) {
  if (!mOn || !mFd.Valid()) return;
  line["time"] = mClock.SinceStartNs() / 1000;
  std::string text = JsonText(line);
  text.push_back('\n');
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t n = ::write(mFd.Get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a full disk loses trace lines, never requests
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

void Trace::Open(uint64_t client, const std::string& path, uint32_t result) {
  if (!mOn) return;
  // The path is the client's bytes: kept readable, and in hex as well when it is not UTF-8.
  json line = {{"client", client}, {"op", "open"}, {"path", EscapedText(path)}, {"result", result}};
  if (!IsUtf8(path)) line["pathHex"] = ToHex(path);
  Line(std::move(line));
}

void Trace::Close(uint64_t client, const std::string& path, uint32_t result) {
  if (mOn) Line({{"client", client}, {"op", "close"}, {"path", path}, {"result", result}});
}

void Trace::Io(uint64_t client, const IoTrace& request, const IoResult& result, size_t bytesReturned) {
  if (!mOn) return;
  json line = {{"client", client},
               {"op", "ioctl"},
               {"path", request.path},
               {"code", CodeText(request.code)},
               {"inLength", request.inLength},
               {"outSize", request.outSize},
               {"bytesReturned", bytesReturned},
               {"result", result.error}};
  AddRequestFields(line, request);
  if (bytesReturned != 0)
    line["out"] = ToHex(std::string_view(result.out).substr(0, std::min<size_t>(bytesReturned, 64)));
  Line(std::move(line));
}

void Trace::Control(uint64_t client, const std::string& cmd, uint32_t result) {
  if (mOn) Line({{"client", client}, {"op", "control"}, {"cmd", cmd}, {"result", result}});
}

void Trace::DeviceChange(uint32_t event, const std::string& path) {
  if (mOn)
    Line({{"op", event == driverproto::kDbtDeviceArrival ? "arrival" : "removal"},
          {"event", CodeText(event)},
          {"path", path}});
}

}  // namespace vlmudrv
