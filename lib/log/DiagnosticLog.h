#pragma once
// The library's one diagnostic log: typed, printf-style entries, prefixed and
// appended to the log file. Call sites use VLOG so that an entry of a disabled
// type costs one bit test and no formatting.
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "log/LogTypes.h"
#include "platform/Module.h"

class DiagnosticLog {
 public:
  // Start-up settings handed over by the library entry at process attach.
  struct StartupSettings {
    platform::ModuleInstance moduleInstance = nullptr;  // names the configuration file
    uint32_t enabledTypes = 0x37;
    uint32_t destinationMask = 3;
    uint32_t extensions = 13;                           // line prefixes
    const char* moduleToken = "VLMUFWDL";
    const char* logFilePath = "";
    uint32_t maxSize = 256000;
    bool checkSizeAfterEachEntry = false;
  };

  DiagnosticLog();
  ~DiagnosticLog();
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  void Initialize(const StartupSettings& settings);
  bool SetLogFile(const char* path, uint32_t maxSize, bool checkSizeAfterEachEntry);
  bool StopLogFile();
  void Teardown();

  bool IsEnabled(uint32_t type) const noexcept {
    return (mEnabledTypes.load(std::memory_order_relaxed) & type) != 0;
  }
  void Entry(uint32_t type, const char* format, ...) VLMU_PRINTF_FORMAT(3, 4);
  void EntryV(uint32_t type, const char* format, va_list args);

  // Destination bits removed from every entry (process attach adds 4 for its duration).
  void AddSuppressedDestinations(uint32_t bits);
  void RemoveSuppressedDestinations(uint32_t bits);

 private:
  std::atomic<uint32_t> mEnabledTypes{0};
  // The full state (type table, module token, configuration path, LogFile, ...)
  // is added by the log implementation.
};

// Writes an entry of the given type to the global log; the arguments are not
// evaluated when the type is disabled.
#define VLOG(type, ...)                                   \
  do {                                                    \
    DiagnosticLog& vlogLog_ = TheDiagnosticLog();         \
    if (vlogLog_.IsEnabled(type)) vlogLog_.Entry((type), __VA_ARGS__); \
  } while (0)

DiagnosticLog& TheDiagnosticLog();
