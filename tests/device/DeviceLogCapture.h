#pragma once
// Sends the library's diagnostic log to a fresh file while the object lives,
// through the exported logging switch, so tests can look for exact entries.
#include <string>

#include "support/TempDir.h"
#include "vlmufwdl.h"

namespace devicetest {

class DeviceLogCapture {
 public:
  DeviceLogCapture() : mPath(mDir.File("device.log")) { mEnabled = VLMUFWDL_EnableLogging(mPath.c_str()) == 0; }
  ~DeviceLogCapture() { VLMUFWDL_EnableLogging(nullptr); }
  DeviceLogCapture(const DeviceLogCapture&) = delete;
  DeviceLogCapture& operator=(const DeviceLogCapture&) = delete;

  bool Enabled() const { return mEnabled; }
  std::string Text() const { return testsupport::ReadFile(mPath); }
  bool Has(const std::string& message) const { return Text().find(message) != std::string::npos; }
  size_t CountOf(const std::string& message) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t pos = text.find(message); pos != std::string::npos; pos = text.find(message, pos + 1)) ++n;
    return n;
  }
  // The whole line that contains `message` ("" when none).
  std::string LineWith(const std::string& message) const {
    const std::string text = Text();
    const size_t pos = text.find(message);
    if (pos == std::string::npos) return "";
    const size_t begin = text.rfind('\n', pos);
    const size_t end = text.find('\n', pos);
    const size_t from = begin == std::string::npos ? 0 : begin + 1;
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
  }

 private:
  testsupport::TempDir mDir;
  std::string mPath;
  bool mEnabled = false;
};

// Points the library at a socket where no service listens, for the life of the object.
class NoServiceEnvironment {
 public:
  NoServiceEnvironment();
  ~NoServiceEnvironment();
  NoServiceEnvironment(const NoServiceEnvironment&) = delete;
  NoServiceEnvironment& operator=(const NoServiceEnvironment&) = delete;

 private:
  testsupport::TempDir mDir;
  bool mHadValue = false;
  std::string mSaved;
};

}  // namespace devicetest
