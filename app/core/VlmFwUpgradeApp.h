#pragma once
// Start-up of the upgrade program: one instance at a time, a library whose
// interface version is 1.x with x >= 1, then the main dialog; and the
// logging set-up the main dialog runs when it is first shown.
#include <cstdint>
#include <string>

#include "DialogViews.h"
#include "FirmwareLibrary.h"

namespace vlmapp {

class VlmFwUpgradeApp;
class VlmFwUpgradeDlg;

// Operating-system services the start-up needs.
class AppPlatform {
 public:
  enum class MarkerResult { Created, AlreadyExists, Failed };

  // TempDirectory's answer when there is no temporary folder that only this
  // user controls: like a path that does not fit, it leaves logging off.
  static constexpr uint32_t kNoPrivateTempDirectory = 0xFFFFFFFFu;

  virtual ~AppPlatform() = default;
  // Creates the single-instance marker of this name (kept until the process
  // ends). Failed: no marker could be made; the platform has said why.
  virtual MarkerResult CreateInstanceMarker(const std::string& name) = 0;
  // Hands the focus to the running instance whose main window has this
  // title: its active pop-up (or the window), restored if minimised. False
  // when the running instance could not be reached; the platform has said why.
  virtual bool ActivateRunningInstance(const std::string& windowTitle) = 0;
  // Full path of the program file; false when it cannot be had.
  virtual bool ProgramPath(std::string& path) = 0;
  // The temporary directory, ending in a separator, with the platform's
  // buffer contract: given a buffer of `bufferSize` characters, returns the
  // length of the path when it fits (path set), else the size it would need
  // including the terminator; 0 on failure; kNoPrivateTempDirectory.
  virtual uint32_t TempDirectory(uint32_t bufferSize, std::string& path) = 0;
  // A message box without an owner window.
  virtual void ShowMessageBox(const MessageBoxRequest& request) = 0;
  // Runs the main dialog modally; returns its result.
  virtual int RunMainDialog(VlmFwUpgradeApp& app) = 0;
};

class VlmFwUpgradeApp {
 public:
  static constexpr const char* kMutexName = "{947CEE3A-068B-4b0b-BEAE-D830B8F2CDE4}";
  static constexpr const char* kDefaultLogFileName = "VelmoraFlashTool.log";
  static constexpr uint32_t kPathBufferChars = 260;
  static constexpr uint32_t kTempPathBufferChars = 259;
  static constexpr uint32_t kSplitPartChars = 256;
  // Interface versions accepted: major 1, minor at least 1.
  static constexpr uint32_t kAcceptedMajor = 1;
  static constexpr uint32_t kLeastMinor = 1;

  // SecondInstance: handed over to the running instance. NotHandedOver:
  // another instance holds the marker but could not be reached.
  enum class Outcome { SecondInstance, NotHandedOver, WrongApiVersion, DialogEnded };

  VlmFwUpgradeApp(AppPlatform& platform, FirmwareLibrary& library);

  // The start-up; returns how the program ends. A marker that cannot be made
  // does not stop the program: it cannot tell whether another instance runs.
  Outcome InitInstance();
  // The program's exit status for an outcome: 1 for another interface
  // version, 2 when the running instance could not be reached, else 0.
  static int ExitStatus(Outcome outcome);
  // Directs the library's log into "<temporary directory><program base name>.log".
  void SetUpLogging(VlmFwUpgradeDlg& dialog);

  // The program file's base name (caption of the program's message boxes).
  const std::string& AppName() const { return mAppName; }
  FirmwareLibrary& Library() { return mLibrary; }
  static bool IsAcceptedApiVersion(uint32_t version);
  // Base name of a program path (without folder and extension); empty when
  // it does not fit the split buffers.
  static std::string BaseName(const std::string& programPath);

 private:
  AppPlatform& mPlatform;
  FirmwareLibrary& mLibrary;
  std::string mAppName;
};

}  // namespace vlmapp
