#pragma once
// Sends the library's diagnostic log to a fresh file for the life of the
// object, so a test can look for the exact entries the engine wrote.
#include <string>

#include "log/DiagnosticLog.h"
#include "support/TempDir.h"

namespace dfutest {

class LogCapture {
 public:
  LogCapture() : mPath(mDir.File("engine.log")) {
    DiagnosticLog& log = TheDiagnosticLog();
    if (!log.IsEnabled(LOG_ERROR)) {
      DiagnosticLog::StartupSettings settings;
      log.Initialize(settings);
    }
    log.SetLogFile(mPath.c_str(), 0x7FFFFFFF, false);
  }
  ~LogCapture() { TheDiagnosticLog().StopLogFile(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return testsupport::ReadTextFile(mPath); }
  bool Has(const std::string& message) const { return Text().find(message) != std::string::npos; }
  size_t CountOf(const std::string& message) const {
    const std::string text = Text();
    size_t n = 0;
    for (size_t pos = text.find(message); pos != std::string::npos; pos = text.find(message, pos + message.size())) {
      ++n;
    }
    return n;
  }

 private:
  testsupport::TempDir mDir;
  std::string mPath;
};

}  // namespace dfutest
