#include "log/DiagnosticLog.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "log/GlobalSlot.h"
#include "platform/FileSystem.h"
#include "platform/PrivateProfile.h"

namespace {

constexpr const char* kFaultyEntry = "_____FAULTY_LOG_ENTRY: ";
constexpr uint32_t kFileBit = LogFile::kFileDestination;

// A shared object installed with a version ("libname.so.1", "libname.so.1.1",
// reached through either name) keeps one configuration file, named after the
// unversioned object: the version suffix is dropped before the extension is
// replaced, so "libname.so.1" gives "libname.cfg" like "libname.so" does.
std::string WithoutSharedObjectVersion(std::string path) {
  const size_t separator = path.find_last_of("/\\");
  const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  const size_t so = path.rfind(".so.");
  if (so == std::string::npos || so < nameStart) return path;
  const size_t versionStart = so + 4;
  if (versionStart == path.size()) return path;
  for (size_t i = versionStart; i < path.size(); ++i) {
    if ((path[i] < '0' || path[i] > '9') && path[i] != '.') return path;
  }
  path.resize(so + 3);
  return path;
}

// Names of the types that the library writes, by row.
constexpr const char* kDefaultNames[] = {"ERROR", "WARNING", "INFO", "DATA", "API ->", "API <-"};

// Copies at most `maxChars` characters of `source` and a NUL.
void CopyCut(char* out, const char* source, size_t maxChars) {
  size_t n = 0;
  if (source != nullptr) {
    while (n < maxChars && source[n] != '\0') {
      out[n] = source[n];
      ++n;
    }
  }
  out[n] = '\0';
}

bool IsOne(const std::string& value) { return value == "1"; }

// "MaxSize": plain unsigned decimal. A malformed value reads as 0; a value
// beyond 32 bits reads as the largest size.
uint32_t ParseSize(const std::string& value) {
  if (value.empty()) return 0;
  uint64_t size = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return 0;
    size = size * 10u + static_cast<uint64_t>(c - '0');
    if (size > 0xFFFFFFFFu) size = 0x100000000u;  // keeps growing numbers bounded
  }
  return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

void LogTypeSection(char (&section)[16], size_t row) {
  std::snprintf(section, sizeof section, "LogType%u", static_cast<unsigned>(row + 1));
}

struct ExtensionKey {
  const char* key;
  uint32_t bit;
};
// In the order in which they are read and written.
constexpr ExtensionKey kExtensionKeys[] = {
    {"ThreadIdExtension", 1}, {"ModuleTokenExtension", 2}, {"TypeExtension", 4}, {"TimeExtension", 8}};

}  // namespace

DiagnosticLog::DiagnosticLog() : mLogFile(this) {
  for (size_t i = 0; i < kTypeCount; ++i) {
    mTypes[i].type = 1u << i;
    mTypes[i].name[0] = '\0';
  }
}

DiagnosticLog::~DiagnosticLog() { Teardown(); }

// ---------------------------------------------------------------- formatting

void DiagnosticLog::FormatText(char (&text)[kMaxText + 1], const char* format, va_list args) {
  int n = -1;
  if (format != nullptr) {
    n = std::vsnprintf(text, sizeof text, format, args);
  }
  if (n < 0) {
    // The message could not be formatted: keep its raw format instead.
    CopyCut(text, kFaultyEntry, kMaxText);
    const size_t used = std::strlen(text);
    CopyCut(text + used, format != nullptr ? format : "", kMaxText - used);
  }
}

size_t DiagnosticLog::FormatLine(char (&line)[kMaxLine + 1], uint32_t extensions, uint64_t threadId,
                                 const platform::LocalTime* time, const char* moduleToken, const char* typeName,
                                 const char* text) {
  size_t length = 0;
  const auto append = [&](const char* piece) {
    if (piece == nullptr) return;
    while (*piece != '\0' && length < kMaxLine) line[length++] = *piece++;
  };
  char piece[40];
  if (extensions & 1) {
    std::snprintf(piece, sizeof piece, "[T0x%llx] ", static_cast<unsigned long long>(threadId));
    append(piece);
  }
  if (extensions & 8) {
    if (time != nullptr) {
      std::snprintf(piece, sizeof piece, "%02i:%02i:%02i:%03u", time->hour, time->minute, time->second,
                    time->millisecond);
      append(piece);
    } else {
      append("Unknown time");
    }
    append("  ");
  }
  if (extensions & 2) {
    append(moduleToken);
    append(": ");
  }
  if (extensions & 4) {
    append(typeName);
    append(": ");
  }
  append(text);
  line[length] = '\0';
  return length;
}

// ------------------------------------------------------------------- entries

void DiagnosticLog::Entry(uint32_t type, const char* format, ...) {
  if (!IsEnabled(type)) return;
  va_list args;
  va_start(args, format);
  EntryV(type, format, args);
  va_end(args);
}

void DiagnosticLog::EntryV(uint32_t type, const char* format, va_list args) {
  if (!IsEnabled(type)) return;
  char text[kMaxText + 1];
  FormatText(text, format, args);
  std::lock_guard<std::mutex> lock(mLock);
  Dispatch(type, mDestinationMask & ~mSuppressedDestinations, text);
}

void DiagnosticLog::EntryLocked(uint32_t type, uint32_t destinationMask, const char* format, ...) {
  va_list args;
  va_start(args, format);
  EntryLockedV(type, destinationMask, format, args);
  va_end(args);
}

void DiagnosticLog::EntryLockedV(uint32_t type, uint32_t destinationMask, const char* format, va_list args) {
  if (!IsEnabled(type)) return;
  char text[kMaxText + 1];
  FormatText(text, format, args);
  Dispatch(type, destinationMask & ~mSuppressedDestinations, text);
}

void DiagnosticLog::LogFileDiagnosticV(uint32_t type, uint32_t destinationMask, const char* format, va_list args) {
  // Called from inside LogFile operations, which run under mLock.
  EntryLockedV(type, destinationMask, format, args);
}

const DiagnosticLog::LogTypeEntry& DiagnosticLog::Row(uint32_t type) const {
  for (const LogTypeEntry& row : mTypes) {
    if (row.type == type) return row;
  }
  return mTypes[0];
}

void DiagnosticLog::Dispatch(uint32_t type, uint32_t destinationMask, const char* text) {
  const LogTypeEntry& row = Row(type);
  // The log file is the only destination with an output.
  if (!mLogFileEnabled || (destinationMask & kFileBit) == 0) return;
  char line[kMaxLine + 1];
  platform::LocalTime now{};
  const bool haveTime = (mLogFile.Extensions & 8) != 0 && platform::GetLocalTime(now);
  FormatLine(line, mLogFile.Extensions, platform::CurrentThreadId(), haveTime ? &now : nullptr, mModuleToken, row.name,
             text);
  if (!mLogFile.WriteEntry(line)) {
    // The line is lost; later entries try the file again.
    mLogFileEnabled = false;
    if (IsEnabled(LOG_ERROR)) EntryLocked(LOG_ERROR, destinationMask & ~kFileBit, "Logging to the logfile failed.\n");
    mLogFileEnabled = true;
  }
}

void DiagnosticLog::AddSuppressedDestinations(uint32_t bits) {
  std::lock_guard<std::mutex> lock(mLock);
  mSuppressedDestinations |= bits;
}

void DiagnosticLog::RemoveSuppressedDestinations(uint32_t bits) {
  std::lock_guard<std::mutex> lock(mLock);
  mSuppressedDestinations &= ~bits;
}

// ------------------------------------------------------------ configuration

void DiagnosticLog::Initialize(const StartupSettings& settings) {
  std::lock_guard<std::mutex> lock(mLock);
  mDestinationMask = settings.destinationMask;
  mLogFile.SetOwnDestinationMask(settings.destinationMask & ~kFileBit);
  SetCfgFile(settings.moduleInstance);
  if (CfgFileExists() && platform::ReadFirstByte(mCfgFile) != platform::FirstByte::Empty) {
    ReadCfgFile();
    return;
  }
  ApplyStartupSettings(settings, CfgFileExists());
}

void DiagnosticLog::SetCfgFile(platform::ModuleInstance module) {
  mCfgFile[0] = '\0';
  std::string modulePath;
  uint32_t error = platform::ModuleFilePath(module, modulePath);
  if (error == 0) modulePath = WithoutSharedObjectVersion(std::move(modulePath));
  if (error == 0 && !LogFile::ReplaceExtension(modulePath.c_str(), "cfg", mCfgFile, sizeof mCfgFile)) {
    error = platform::ErrorNameTooLong();
    mCfgFile[0] = '\0';
  }
  if (error != 0) {
    EntryLocked(LOG_ERROR, mDestinationMask, "SetCfgFile: GetModuleFileName failed with error = %d\n",
                static_cast<int>(error));
  }
}

bool DiagnosticLog::CfgFileExists() const { return mCfgFile[0] != '\0' && platform::FileExists(mCfgFile); }

void DiagnosticLog::WriteCfg(const char* section, const char* key, const char* value) {
  if (!platform::WriteProfileValue(section, key, value, mCfgFile)) {
    EntryLocked(LOG_WARNING, mDestinationMask, "SetCfgFile: writing key \"%s\" of section \"%s\" into \"%s\" failed\n",
                key, section, mCfgFile);
  }
}

void DiagnosticLog::ReadCfgFile() {
  const auto get = [this](const char* section, const char* key) {
    return platform::ReadProfileValue(section, key, "", mCfgFile);
  };
  CopyCut(mModuleToken, get("Common", "ModuleToken").c_str(), kMaxModuleToken);
  uint32_t enabled = 0;
  for (size_t row = 0; row < kTypeCount; ++row) {
    char section[16];
    LogTypeSection(section, row);
    if (IsOne(get(section, "Enabled"))) enabled |= 1u << row;
    CopyCut(mTypes[row].name, get(section, "Name").c_str(), kMaxTypeName);
  }
  uint32_t extensions = 0;
  for (const ExtensionKey& extension : kExtensionKeys) {
    if (IsOne(get("LogFile", extension.key))) extensions |= extension.bit;
  }
  const std::string path = get("LogFile", "PathAndName");
  const uint32_t maxSize = ParseSize(get("LogFile", "MaxSize"));
  const bool check = IsOne(get("LogFile", "CheckSizeAfterEachEntry"));

  mEnabledTypes.store(enabled, std::memory_order_relaxed);
  mLogFile.Extensions = extensions;
  mLogFileEnabled = false;
  if (!path.empty()) mLogFileEnabled = mLogFile.Open(path.c_str(), maxSize, check);
}

void DiagnosticLog::ApplyStartupSettings(const StartupSettings& settings, bool writeCfg) {
  CopyCut(mModuleToken, settings.moduleToken, kMaxModuleToken);
  if (writeCfg) WriteCfg("Common", "ModuleToken", mModuleToken);

  for (size_t row = 0; row < kTypeCount; ++row) {
    CopyCut(mTypes[row].name, row < std::size(kDefaultNames) ? kDefaultNames[row] : "", kMaxTypeName);
  }
  mEnabledTypes.store(settings.enabledTypes, std::memory_order_relaxed);
  if (writeCfg) {
    for (size_t row = 0; row < kTypeCount; ++row) {
      char section[16];
      LogTypeSection(section, row);
      WriteCfg(section, "Name", mTypes[row].name);
      WriteCfg(section, "Enabled", (settings.enabledTypes >> row) & 1u ? "1" : "0");
    }
  }

  mLogFile.Extensions = settings.extensions;
  if (writeCfg) {
    for (const ExtensionKey& extension : kExtensionKeys) {
      WriteCfg("LogFile", extension.key, (settings.extensions & extension.bit) ? "1" : "0");
    }
  }

  SetLogFileLocked(settings.logFilePath, settings.maxSize, settings.checkSizeAfterEachEntry);
}

bool DiagnosticLog::SetLogFile(const char* path, uint32_t maxSize, bool checkSizeAfterEachEntry) {
  std::lock_guard<std::mutex> lock(mLock);
  return SetLogFileLocked(path, maxSize, checkSizeAfterEachEntry);
}

bool DiagnosticLog::SetLogFileLocked(const char* path, uint32_t maxSize, bool checkSizeAfterEachEntry) {
  if (path == nullptr) path = "";
  mLogFileEnabled = false;
  if (path[0] != '\0') mLogFileEnabled = mLogFile.Open(path, maxSize, checkSizeAfterEachEntry);
  if (CfgFileExists()) {
    char size[16];
    std::snprintf(size, sizeof size, "%u", static_cast<unsigned>(maxSize));
    WriteCfg("LogFile", "PathAndName", path);
    WriteCfg("LogFile", "MaxSize", size);
    WriteCfg("LogFile", "CheckSizeAfterEachEntry", checkSizeAfterEachEntry ? "1" : "0");
  }
  return mLogFileEnabled;
}

bool DiagnosticLog::StopLogFile() {
  std::lock_guard<std::mutex> lock(mLock);
  mLogFileEnabled = false;
  return mLogFile.Close();
}

void DiagnosticLog::ClearConfiguredLogFile() {
  std::lock_guard<std::mutex> lock(mLock);
  if (CfgFileExists()) WriteCfg("LogFile", "PathAndName", "");
}

void DiagnosticLog::Teardown() {
  std::lock_guard<std::mutex> lock(mLock);
  if (mLogFileEnabled) {
    mLogFileEnabled = false;
    mLogFile.Close();
  }
  mEnabledTypes.store(0, std::memory_order_relaxed);
  if (mLogFile.IsOpen()) mLogFile.Close();
}

// ------------------------------------------------------------------ queries

uint32_t DiagnosticLog::DestinationMask() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mDestinationMask;
}
uint32_t DiagnosticLog::SuppressedDestinations() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mSuppressedDestinations;
}
uint32_t DiagnosticLog::Extensions() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mLogFile.Extensions;
}
bool DiagnosticLog::LogFileEnabled() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mLogFileEnabled;
}
std::string DiagnosticLog::ModuleToken() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mModuleToken;
}
std::string DiagnosticLog::TypeName(size_t row) const {
  std::lock_guard<std::mutex> lock(mLock);
  return row < kTypeCount ? mTypes[row].name : "";
}
std::string DiagnosticLog::CfgFilePath() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mCfgFile;
}
std::string DiagnosticLog::LogFilePath() const {
  std::lock_guard<std::mutex> lock(mLock);
  return mLogFile.Path();
}

namespace {
constinit GlobalSlot<DiagnosticLog> gDiagnosticLog;
}  // namespace

PointerText FormatPointer(const void* pointer) {
  PointerText p;
  std::snprintf(p.text, sizeof p.text, "%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
  return p;
}

DiagnosticLog& TheDiagnosticLog() { return gDiagnosticLog.Get(); }
void ConstructTheDiagnosticLog() { gDiagnosticLog.Construct(); }
void DestroyTheDiagnosticLog() noexcept { gDiagnosticLog.Destroy(); }
