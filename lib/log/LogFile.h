#pragma once
// The output of the diagnostic log: a text file to which each finished line is
// appended and flushed at once, bounded by one backup generation (".bak").
// LogFile has no lock of its own: its owner serialises every call.
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "log/LogTypes.h"

// Receives the diagnostics that LogFile writes about itself. They carry the
// file's own destination mask, which lacks the log-file bit, so they never go
// back into the file.
class LogFileDiagnostics {
 public:
  virtual void LogFileDiagnosticV(uint32_t type, uint32_t destinationMask, const char* format, va_list args)
      VLMU_PRINTF_FORMAT(4, 0) = 0;

 protected:
  ~LogFileDiagnostics() = default;
};

class LogFile {
 public:
  static constexpr size_t kMaxPath = 259;
  static constexpr uint32_t kFileDestination = 2;

  explicit LogFile(LogFileDiagnostics* diagnostics = nullptr) : mDiagnostics(diagnostics) {}
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  bool Open(const char* path, uint32_t maxSize, bool checkSizeAfterEachEntry);
  bool Close();
  bool WriteEntry(const char* line);
  bool BackupIfRequired();

  bool IsOpen() const { return mFile != nullptr; }
  const char* Path() const { return mPath; }
  uint32_t MaxSize() const { return mMaxSize; }
  bool CheckSizeAfterEachEntry() const { return mCheckSizeAfterEachEntry; }

  // Line prefixes (1 thread id, 2 module token, 4 type name, 8 time), used by the log.
  uint32_t Extensions = 0;

  void SetOwnDestinationMask(uint32_t mask) { mOwnDestinationMask = mask; }

  // `path` with its extension (the part from the last dot of the file name)
  // replaced by `extension`, or with it added when there is none. Returns
  // false when the result does not fit `size` bytes with its NUL.
  static bool ReplaceExtension(const char* path, const char* extension, char* out, size_t size);
  // The backup name of `path`: its extension replaced by "bak".
  static bool BackupName(const char* path, char* out, size_t size) { return ReplaceExtension(path, "bak", out, size); }

 private:
  void Diagnostic(uint32_t type, const char* format, ...) VLMU_PRINTF_FORMAT(3, 4);

  LogFileDiagnostics* mDiagnostics;
  char mPath[kMaxPath + 1] = {};
  uint32_t mMaxSize = 0;
  bool mCheckSizeAfterEachEntry = false;
  FILE* mFile = nullptr;
  uint32_t mOwnDestinationMask = 0;
  bool mRotationFailed = false;  // reported on stderr; cleared by the next successful rotation
};
