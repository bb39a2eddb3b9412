#pragma once
// The trace of the service's requests: one JSON object per line, appended to
// a file and written out before the reply goes to the client (readers look
// at the file right after the reply). Every line has "time", microseconds
// since the service started.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "DeviceSource.h"
#include "Fd.h"

namespace vlmudrv {

class EventLoop;

// What the trace line of an I/O control request needs once it completes:
// the request's first bytes stand in for the whole input.
struct IoTrace {
  static constexpr size_t kTracedInput = 16 + 64;  // setup packet and the data bytes traced

  IoTrace(const IoRequest& request, std::string_view in, std::string devicePath = {});

  uint32_t code = 0;
  uint32_t outSize = 0;
  size_t inLength = 0;
  std::string inHead;  // the first kTracedInput bytes of the input
  std::string path;
};

class Trace {
 public:
  explicit Trace(const EventLoop& clock) : mClock(clock) {}

  // Switches the trace on or off; a path other than the current file opens
  // that file. False with a message when it cannot be opened (or on without
  // any file).
  bool Set(bool on, const std::string& path, std::string& error);
  bool On() const { return mOn; }
  const std::string& Path() const { return mPath; }

  void Open(uint64_t client, const std::string& path, uint32_t result);
  void Close(uint64_t client, const std::string& path, uint32_t result);
  void Io(uint64_t client, const IoTrace& request, const IoResult& result, size_t bytesReturned);
  void Control(uint64_t client, const std::string& cmd, uint32_t result);
  void DeviceChange(uint32_t event, const std::string& path);

 private:
  void Line(nlohmann::json line);

  const EventLoop& mClock;
  Fd mFd;
  bool mOn = false;
  std::string mPath;
};

// JSON text of a value; a string that is not UTF-8 (which nothing should put
// there) is written with replacement characters rather than ending the service.
std::string JsonText(const nlohmann::json& j);

}  // namespace vlmudrv
