#include "VlmFwUpgradeApp.h"

#include "AppVersion.h"
#include "StringTable.h"
#include "TextFormat.h"
#include "VlmFwUpgradeDlg.h"

namespace vlmapp {

VlmFwUpgradeApp::VlmFwUpgradeApp(AppPlatform& platform, FirmwareLibrary& library)
    : mPlatform(platform), mLibrary(library) {
  std::string path;
  if (mPlatform.ProgramPath(path)) mAppName = BaseName(path);
  if (mAppName.empty()) mAppName = VLMAPP_DEFAULT_NAME;
}

bool VlmFwUpgradeApp::IsAcceptedApiVersion(uint32_t version) {
  return VLMUFWDL_API_VERSION_MAJOR(version) == kAcceptedMajor && VLMUFWDL_API_VERSION_MINOR(version) >= kLeastMinor;
}

std::string VlmFwUpgradeApp::BaseName(const std::string& programPath) {
  // Drive and folder end at the last separator; the extension starts at the
  // last dot of the file name.
  const size_t slash = programPath.find_last_of("\\/");
  std::string name = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
  if (slash == std::string::npos && name.size() >= 2 && name[1] == ':') name.erase(0, 2);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  if (name.size() >= kSplitPartChars) return {};
  return name;
}

VlmFwUpgradeApp::Outcome VlmFwUpgradeApp::InitInstance() {
  const std::string title = LoadText(IDS_WINDOW_TITLE);
  if (mPlatform.CreateInstanceMarker(kMutexName) == AppPlatform::MarkerResult::AlreadyExists) {
    return mPlatform.ActivateRunningInstance(title) ? Outcome::SecondInstance : Outcome::NotHandedOver;
  }
  if (!IsAcceptedApiVersion(mLibrary.GetApiVersion())) {
    MessageBoxRequest box;
    box.text = LoadText(IDS_WRONG_API_VERSION);
    box.caption = mAppName;
    box.icon = MessageIcon::Error;
    box.buttons = MessageButtons::Ok;
    mPlatform.ShowMessageBox(box);
    return Outcome::WrongApiVersion;
  }
  mPlatform.RunMainDialog(*this);
  return Outcome::DialogEnded;
}

int VlmFwUpgradeApp::ExitStatus(Outcome outcome) {
  switch (outcome) {
    case Outcome::WrongApiVersion:
      return 1;
    case Outcome::NotHandedOver:
      return 2;
    default:
      return 0;
  }
}

void VlmFwUpgradeApp::SetUpLogging(VlmFwUpgradeDlg& dialog) {
  std::string fileName = kDefaultLogFileName;
  std::string programPath;
  // A path that does not fit the 260-character buffer counts as unreadable.
  if (mPlatform.ProgramPath(programPath) && programPath.size() < kPathBufferChars) {
    const std::string base = BaseName(programPath);
    if (!base.empty()) fileName = FormatText("%s.log", {base});
  }
  std::string directory;
  const uint32_t length = mPlatform.TempDirectory(kTempPathBufferChars, directory);
  if (length > kTempPathBufferChars) {  // also kNoPrivateTempDirectory
    dialog.ShowLibraryError(VLMUFWDL_STATUS_LOG_FILE);
    return;
  }
  if (length == 0) directory.clear();
  const std::string logPath = directory + fileName;
  const uint32_t status = mLibrary.EnableLogging(logPath.c_str());
  if (status != 0) dialog.ShowLibraryError(status);
}

}  // namespace vlmapp
