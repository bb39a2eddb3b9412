#include "log/LogFile.h"

#include <cstring>

#include "platform/FileSystem.h"

// The apostrophe of "couldn't" in these messages is the acute accent 0xB4.
#define COULDNT "couldn\xB4t"

namespace {
bool IsPathSeparator(char c) {
#if defined(_WIN32)
  return c == '/' || c == '\\' || c == ':';
#else
  return c == '/';
#endif
}
}  // namespace

LogFile::~LogFile() {
  if (mFile != nullptr) std::fclose(mFile);
}

void LogFile::Diagnostic(uint32_t type, const char* format, ...) {
  if (mDiagnostics == nullptr) return;
  va_list args;
  va_start(args, format);
  mDiagnostics->LogFileDiagnosticV(type, mOwnDestinationMask, format, args);
  va_end(args);
}

bool LogFile::ReplaceExtension(const char* path, const char* extension, char* out, size_t size) {
  const size_t length = std::strlen(path);
  const size_t extensionLength = std::strlen(extension);
  size_t stem = length;
  for (size_t i = length; i > 0; --i) {
    const char c = path[i - 1];
    if (IsPathSeparator(c)) break;
    if (c == '.') {
      stem = i - 1;
      break;
    }
  }
  if (stem + 1 + extensionLength >= size) return false;
  std::memcpy(out, path, stem);
  out[stem] = '.';
  std::memcpy(out + stem + 1, extension, extensionLength + 1);
  return true;
}

bool LogFile::Open(const char* path, uint32_t maxSize, bool checkSizeAfterEachEntry) {
  if (mFile != nullptr && !Close()) {
    Diagnostic(LOG_WARNING, "Open log file: closing previous log file failed.\n");
  }
  if (path == nullptr) path = "";
  // A longer path is refused rather than cut: a cut path names another file.
  if (std::strlen(path) > kMaxPath) {
    Diagnostic(LOG_ERROR, "Open log file: " COULDNT " open the log file \"%s\".\n", path);
    return false;
  }
  std::strcpy(mPath, path);
  mMaxSize = maxSize;
  mCheckSizeAfterEachEntry = checkSizeAfterEachEntry;

  if (!BackupIfRequired()) {
    Diagnostic(LOG_ERROR, "Open log file: BackupIfRequired failed\n");
    return false;
  }
  Diagnostic(LOG_INFO, "Open log file \"%s\" ...\n", mPath);
  mFile = platform::OpenRegularFile(mPath, "a+");
  if (mFile == nullptr) {
    Diagnostic(LOG_ERROR, "Open log file: " COULDNT " open the log file \"%s\".\n", mPath);
    return false;
  }
  return true;
}

bool LogFile::Close() {
  if (mFile == nullptr) {
    Diagnostic(LOG_INFO, "Close: no open log file to close.\n");
    return true;
  }
  Diagnostic(LOG_INFO, "Close: closing log file \"%s\" ...\n", mPath);
  const bool closed = std::fclose(mFile) == 0;
  mFile = nullptr;
  if (!closed) Diagnostic(LOG_ERROR, "Close: an error occurred while closing log file \"%s\".\n", mPath);
  mPath[0] = '\0';
  mMaxSize = 0;
  mCheckSizeAfterEachEntry = false;
  return closed;
}

bool LogFile::WriteEntry(const char* line) {
  if (mFile == nullptr) {
    Diagnostic(LOG_ERROR, "WriteEntry: " COULDNT " write log file because there is no open file\n");
    return false;
  }
  if (std::fputs(line, mFile) == EOF) {
    Diagnostic(LOG_ERROR, "WriteEntry: writing \"%s\" in the log file buffer failed\n", line);
    return false;
  }
  if (std::fflush(mFile) != 0) {
    Diagnostic(LOG_ERROR, "WriteEntry: flushing \"%s\" in the log file failed\n", line);
    return false;
  }
  if (mCheckSizeAfterEachEntry && !BackupIfRequired()) {
    Diagnostic(LOG_ERROR, "WriteEntry: BackupIfRequired failed after writing entry \"%s\" in the log file\n", line);
    return false;
  }
  return true;
}

bool LogFile::BackupIfRequired() {
  platform::FileAttributes attributes;
  if (!platform::QueryFileAttributes(mPath, attributes)) {
    if (mFile == nullptr) return true;  // nothing to rotate
    Diagnostic(LOG_ERROR, "BackupIfRequired: _stat failed for log file \"%s\"\n", mPath);
    return false;
  }
  if (attributes.size == 0 || attributes.size <= mMaxSize) return true;

  bool reopen = false;
  if (mFile != nullptr) {
    Diagnostic(LOG_INFO, "BackupIfRequired: closing current log file ...\n");
    if (std::fclose(mFile) != 0) Diagnostic(LOG_WARNING, "BackupIfRequired: " COULDNT " close current log file\n");
    mFile = nullptr;
    reopen = true;
  }

  char backup[kMaxPath + 6];
  // A rotation that fails reopens the live file, so that the entries go on
  // into it (beyond the maximum size) instead of being dropped. The
  // diagnostics of this class reach no output, so the failure is also told
  // on stderr, once until a rotation succeeds again.
  auto keepLogging = [&](const char* backupName) {
    if (!mRotationFailed) {
      std::fprintf(stderr, "velmora_dfu: warning: log file \"%s\" cannot be rotated to \"%s\"; logging goes on in it\n",
                   mPath, backupName);
      mRotationFailed = true;
    }
    if (reopen) mFile = platform::OpenRegularFile(mPath, "a+");
    return false;
  };
  if (!BackupName(mPath, backup, sizeof backup)) {
    Diagnostic(LOG_ERROR, "BackupIfRequired: " COULDNT " rename current log file to create a backup\n");
    return keepLogging("");
  }
  if (platform::FileExists(backup)) {
    Diagnostic(LOG_INFO, "BackupIfRequired: deleting old backup file \"%s\" ...\n", backup);
    if (!platform::RemoveFile(backup)) {
      Diagnostic(LOG_ERROR, "BackupIfRequired: old backup file " COULDNT " be deleted\n");
      return keepLogging(backup);
    }
  }
  Diagnostic(LOG_INFO, "BackupIfRequired: creating new backup file \"%s\" ...\n", backup);
  if (!platform::RenameFile(mPath, backup)) {
    Diagnostic(LOG_ERROR, "BackupIfRequired: " COULDNT " rename current log file to create a backup\n");
    return keepLogging(backup);
  }
  mRotationFailed = false;
  if (reopen) {
    Diagnostic(LOG_INFO, "opening new log file \"%s\" ...\n", mPath);
    mFile = platform::OpenRegularFile(mPath, "a+");
    if (mFile == nullptr) {
      Diagnostic(LOG_ERROR, COULDNT " open new log file \"%s\"\n", mPath);
      return false;
    }
  }
  return true;
}
