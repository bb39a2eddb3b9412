#pragma once
// The native Win32 view of the upgrade program: the dialog templates of
// VelmoraFlashTool.rc driven by the toolkit-free logic of app/core.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "DialogViews.h"
#include "DownloadProgressDlg.h"
#include "FirmwareLibrary.h"
#include "VlmFwUpgradeApp.h"
#include "VlmFwUpgradeDlg.h"

namespace vlmwin {

// Template 102: the main dialog.
class Win32MainDialog final : public vlmapp::MainDialogView {
 public:
  Win32MainDialog(HINSTANCE instance, vlmapp::FirmwareLibrary& library, const std::string& appName,
                  std::function<void(vlmapp::VlmFwUpgradeDlg&)> setUpLogging);
  ~Win32MainDialog() override;
  Win32MainDialog(const Win32MainDialog&) = delete;
  Win32MainDialog& operator=(const Win32MainDialog&) = delete;

  // Runs the dialog modally; returns its result (IDOK, IDCANCEL or -1).
  INT_PTR Run();

  // MainDialogView
  void SetWindowTitle(const std::string& title) override;
  bool AddSystemMenuItem(uint32_t commandId, const std::string& text) override;
  void InitListColumns(const std::vector<vlmapp::ListColumn>& columns) override;
  void ShowListRows(const std::vector<vlmapp::ListRow>& rows) override;
  void SelectListRow(int row) override;
  void SetControlText(uint32_t id, const std::string& text) override;
  std::string GetControlText(uint32_t id) override;
  void EnableControl(uint32_t id, bool enabled) override;
  void PostToSelf(uint32_t message) override;
  uintptr_t RegisterDeviceChanges(const vlmapp::DeviceInterfaceFilter& filter) override;
  void UnregisterDeviceChanges(uintptr_t registration) override;
  vlmapp::MessageAnswer ShowMessageBox(const vlmapp::MessageBoxRequest& request) override;
  std::optional<std::string> ChooseOpenFile(const vlmapp::OpenFileRequest& request) override;
  void RunAboutBox(const std::string& text) override;
  void RunProgressDialog(vlmapp::DownloadProgressDlg& progress) override;
  void EndDialog(int result) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  bool OnNotify(const NMHDR& header);
  bool PaintMinimised();

  HINSTANCE mInstance;
  HWND mWindow = nullptr;
  HWND mList = nullptr;
  HICON mIcon = nullptr;       // 32 x 32, window and drag icon
  HICON mSmallIcon = nullptr;  // 16 x 16, title bar
  bool mUpdatingList = false;  // the logic changes the list itself: no notifications
  vlmapp::VlmFwUpgradeDlg mLogic;
};

// Template 129: the progress dialog.
class Win32ProgressDialog final : public vlmapp::ProgressDialogView {
 public:
  Win32ProgressDialog(HINSTANCE instance, vlmapp::DownloadProgressDlg& logic) : mInstance(instance), mLogic(logic) {}

  INT_PTR Run(HWND owner);

  void SetStatusText(const std::string& text) override;
  void SetProgressRange(uint32_t low, uint32_t high) override;
  void SetProgressPosition(uint32_t position) override;
  void EnableCloseButton(bool enabled) override;
  bool StartTimer(uintptr_t id, uint32_t periodMs) override;
  void StopTimer(uintptr_t id) override;
  void PostPoll() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  // The posted poll (first application message + 3; + 1 and + 2 are the main dialog's).
  static constexpr UINT kPollMessage = WM_APP + 3;

  HINSTANCE mInstance;
  vlmapp::DownloadProgressDlg& mLogic;
  HWND mWindow = nullptr;
  unsigned mScaleShift = 0;  // the bar's range is an int: large totals are scaled down
};

// Start-up services: the named mutex, the running instance's window, the
// program path, the temporary directory.
class Win32AppPlatform final : public vlmapp::AppPlatform {
 public:
  explicit Win32AppPlatform(HINSTANCE instance) : mInstance(instance) {}
  ~Win32AppPlatform() override;
  Win32AppPlatform(const Win32AppPlatform&) = delete;
  Win32AppPlatform& operator=(const Win32AppPlatform&) = delete;

  MarkerResult CreateInstanceMarker(const std::string& name) override;
  bool ActivateRunningInstance(const std::string& windowTitle) override;
  bool ProgramPath(std::string& path) override;
  uint32_t TempDirectory(uint32_t bufferSize, std::string& path) override;
  void ShowMessageBox(const vlmapp::MessageBoxRequest& request) override;
  int RunMainDialog(vlmapp::VlmFwUpgradeApp& app) override;

 private:
  HINSTANCE mInstance;
  HANDLE mMutex = nullptr;  // closed when the program ends
};

// Places a dialog centred over its owner, or over the work area of its
// monitor when it has none (the main dialog) or the owner is hidden or
// minimised; the dialog stays within that work area.
void CentreOverOwner(HWND dialog);

// Message box styles of a request, and its answer.
UINT MessageBoxStyle(const vlmapp::MessageBoxRequest& request);
vlmapp::MessageAnswer MessageBoxAnswer(int result);

}  // namespace vlmwin
