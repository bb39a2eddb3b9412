#include <windows.h>

#include <vector>

#include "Win32Views.h"

namespace vlmwin {

Win32AppPlatform::~Win32AppPlatform() {
  if (mMutex != nullptr) CloseHandle(mMutex);
}

vlmapp::AppPlatform::MarkerResult Win32AppPlatform::CreateInstanceMarker(const std::string& name) {
  mMutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mMutex == nullptr) return MarkerResult::Failed;
  return GetLastError() == ERROR_ALREADY_EXISTS ? MarkerResult::AlreadyExists : MarkerResult::Created;
}

bool Win32AppPlatform::ActivateRunningInstance(const std::string& windowTitle) {
  // The running instance may not show its window yet: it is looked for a
  // little while before the hand-over counts as failed.
  HWND running = nullptr;
  for (int attempt = 0; attempt < 40 && running == nullptr; ++attempt) {
    if (attempt > 0) Sleep(50);
    running = FindWindowA(nullptr, windowTitle.c_str());
  }
  if (running == nullptr) return false;
  HWND popup = GetLastActivePopup(running);
  if (popup == nullptr) popup = running;
  if (IsIconic(running)) ShowWindow(running, SW_RESTORE);
  SetForegroundWindow(popup);
  return true;
}

bool Win32AppPlatform::ProgramPath(std::string& path) {
  char buffer[vlmapp::VlmFwUpgradeApp::kPathBufferChars];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  // A full buffer means the name was cut.
  if (length == 0 || length >= sizeof buffer) return false;
  path.assign(buffer, length);
  return true;
}

uint32_t Win32AppPlatform::TempDirectory(uint32_t bufferSize, std::string& path) {
  std::vector<char> buffer(static_cast<size_t>(bufferSize) + 1, '\0');
  const DWORD length = GetTempPathA(bufferSize, buffer.data());
  if (length > 0 && length <= bufferSize) path.assign(buffer.data(), length);
  return length;
}

void Win32AppPlatform::ShowMessageBox(const vlmapp::MessageBoxRequest& request) {
  MessageBoxA(nullptr, request.text.c_str(), request.caption.c_str(), MessageBoxStyle(request));
}

int Win32AppPlatform::RunMainDialog(vlmapp::VlmFwUpgradeApp& app) {
  Win32MainDialog dialog(mInstance, app.Library(), app.AppName(),
                         [&app](vlmapp::VlmFwUpgradeDlg& dlg) { app.SetUpLogging(dlg); });
  return static_cast<int>(dialog.Run());
}

}  // namespace vlmwin
