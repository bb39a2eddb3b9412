#pragma once
// The library's one diagnostic log: typed, printf-style entries, prefixed and
// appended to the log file. Call sites use VLOG so that an entry of a disabled
// type costs one bit test and no formatting.
//
// Entries arrive from several threads (export callers, the download worker,
// the notification thread): one lock serialises building and writing a line
// and every operation on the LogFile, so lines never interleave and rotation
// is safe. The enabled-types test before it is a single relaxed atomic load.
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "log/LogFile.h"
#include "log/LogTypes.h"
#include "platform/Clock.h"
#include "platform/Module.h"

class DiagnosticLog final : private LogFileDiagnostics {
 public:
  static constexpr size_t kTypeCount = 32;
  static constexpr size_t kMaxTypeName = 19;
  static constexpr size_t kMaxModuleToken = 39;
  static constexpr size_t kMaxCfgPath = 259;
  static constexpr size_t kMaxText = 1023;
  static constexpr size_t kMaxLine = 1115;

  // Start-up settings handed over by the library entry at process attach.
  struct StartupSettings {
    platform::ModuleInstance moduleInstance = nullptr;  // names the configuration file
    uint32_t enabledTypes = 0x37;
    uint32_t destinationMask = 3;
    uint32_t extensions = 13;  // line prefixes
    const char* moduleToken = "VLMUFWDL";
    const char* logFilePath = "";
    uint32_t maxSize = 256000;
    bool checkSizeAfterEachEntry = false;
  };

  struct LogTypeEntry {
    uint32_t type;
    char name[kMaxTypeName + 1];
  };

  DiagnosticLog();
  ~DiagnosticLog();
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  void Initialize(const StartupSettings& settings);
  bool SetLogFile(const char* path, uint32_t maxSize, bool checkSizeAfterEachEntry);
  bool StopLogFile();
  // Stores an empty "PathAndName" in the configuration file when it exists.
  void ClearConfiguredLogFile();
  void Teardown();

  bool IsEnabled(uint32_t type) const noexcept { return (mEnabledTypes.load(std::memory_order_relaxed) & type) != 0; }
  void Entry(uint32_t type, const char* format, ...) VLMU_PRINTF_FORMAT(3, 4);
  void EntryV(uint32_t type, const char* format, va_list args) VLMU_PRINTF_FORMAT(3, 0);

  // Destination bits removed from every entry (process attach adds 4 for its duration).
  void AddSuppressedDestinations(uint32_t bits);
  void RemoveSuppressedDestinations(uint32_t bits);

  // Read-only views of the settings (for the library's own checks and tests).
  uint32_t EnabledTypes() const { return mEnabledTypes.load(std::memory_order_relaxed); }
  uint32_t DestinationMask() const;
  uint32_t SuppressedDestinations() const;
  uint32_t Extensions() const;
  bool LogFileEnabled() const;
  std::string ModuleToken() const;
  std::string TypeName(size_t row) const;
  std::string CfgFilePath() const;
  std::string LogFilePath() const;

  // Builds one line from its pieces, each cut to the room left; `time` null
  // means the local time could not be computed. Returns the line length.
  static size_t FormatLine(char (&line)[kMaxLine + 1], uint32_t extensions, uint64_t threadId,
                           const platform::LocalTime* time, const char* moduleToken, const char* typeName,
                           const char* text);

  // Formats a message into `text`; a formatting fault gives the fault text.
  static void FormatText(char (&text)[kMaxText + 1], const char* format, va_list args) VLMU_PRINTF_FORMAT(2, 0);

 private:
  void LogFileDiagnosticV(uint32_t type, uint32_t destinationMask, const char* format, va_list args) override
      VLMU_PRINTF_FORMAT(4, 0);
  // Formats and dispatches one entry; the caller holds mLock.
  void EntryLockedV(uint32_t type, uint32_t destinationMask, const char* format, va_list args) VLMU_PRINTF_FORMAT(4, 0);
  void EntryLocked(uint32_t type, uint32_t destinationMask, const char* format, ...) VLMU_PRINTF_FORMAT(4, 5);
  void Dispatch(uint32_t type, uint32_t destinationMask, const char* text);
  const LogTypeEntry& Row(uint32_t type) const;

  void SetCfgFile(platform::ModuleInstance module);
  bool CfgFileExists() const;
  void ReadCfgFile();
  void ApplyStartupSettings(const StartupSettings& settings, bool writeCfg);
  bool SetLogFileLocked(const char* path, uint32_t maxSize, bool checkSizeAfterEachEntry);
  void WriteCfg(const char* section, const char* key, const char* value);

  std::atomic<uint32_t> mEnabledTypes{0};
  LogTypeEntry mTypes[kTypeCount];
  char mModuleToken[kMaxModuleToken + 1] = {};
  char mCfgFile[kMaxCfgPath + 1] = {};
  uint32_t mDestinationMask = 0;
  uint32_t mSuppressedDestinations = 0;
  LogFile mLogFile;
  bool mLogFileEnabled = false;
  mutable std::mutex mLock;
};

// Writes an entry of the given type to the global log; the arguments are not
// evaluated when the type is disabled.
//
// The texts of the entries throughout the library are kept byte for byte as
// the existing log readers and tests know them, misspellings included
// ("invlaid length", "failed with failed with", "appDETATCH", "Unxepected",
// "CDfuClrStatus"): do not correct them.
#define VLOG(type, ...)                                                \
  do {                                                                 \
    DiagnosticLog& vlogLog_ = TheDiagnosticLog();                      \
    if (vlogLog_.IsEnabled(type)) vlogLog_.Entry((type), __VA_ARGS__); \
  } while (0)

// A pointer as the Windows run time's "%p" writes it: sixteen upper-case
// hexadecimal digits without a prefix, so that entries such as
// "(%u,0x%s)" read the same on every platform (glibc's "%p" adds its own
// "0x" and drops leading zeros).
struct PointerText {
  char text[17];
  const char* c_str() const { return text; }
};
PointerText FormatPointer(const void* pointer);

// The library's one diagnostic log. The library's entry constructs it first
// of its global objects and destroys it last; valid in between only.
DiagnosticLog& TheDiagnosticLog();
void ConstructTheDiagnosticLog();
void DestroyTheDiagnosticLog() noexcept;
