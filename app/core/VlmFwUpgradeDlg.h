#pragma once
// The main dialog's logic: the device list and its upkeep on device changes,
// the chosen firmware image and its details, the upgrade button, the library
// error box and the upgrade command. A view (Qt or Win32) shows it and feeds
// it the window's events; the library is reached only through
// FirmwareLibrary.
#include <cstdint>
#include <functional>
#include <string>

#include "DialogViews.h"
#include "FirmwareLibrary.h"
#include "ListCtrl.h"

namespace vlmapp {

class VlmFwUpgradeDlg {
 public:
  // `appName` is the caption of the program's own message boxes;
  // `setUpLogging` runs once when the dialog has first been shown, before the
  // first device list (it may use ShowLibraryError).
  VlmFwUpgradeDlg(MainDialogView& view, FirmwareLibrary& library, std::string appName,
                  std::function<void(VlmFwUpgradeDlg&)> setUpLogging);

  // Window events.
  void OnInitDialog();
  void OnShowWindow();
  // UM_STARTUP / UM_REFRESH_DEVICES; false for any other message.
  bool OnPrivateMessage(uint32_t message);
  // A device-change notification: the event code and the broadcast record
  // (null when absent; otherwise at least its 12-byte common header).
  bool HandleDeviceChange(uint32_t eventCode, const void* record);
  // The list's item-changed notification for one row.
  void OnListItemChanged(int row, bool wasSelected, bool isSelected);
  void OnOpenFile();
  void OnUpgrade();
  void OnCancel();
  // System menu command; false leaves it to the default handling.
  bool OnSysCommand(uint32_t commandId);

  void RefreshDeviceList();
  void UpdateUpgradeButton();
  void ShowLibraryError(uint32_t status);
  static std::string FormatDateTime(const char* date, const char* time);

  // State, for views and tests.
  const ListCtrl& DeviceList() const { return mDeviceList; }
  const std::string& VldFileName() const { return mVldFileName; }
  bool UpgradeRunning() const { return mUpgradeRunning; }
  bool RefreshPending() const { return mRefreshPending; }
  uintptr_t DeviceNotification() const { return mDeviceNotification; }
  const std::string& AppName() const { return mAppName; }

 private:
  // Texts into the controls (false) or back from them (true).
  void ExchangeTexts(bool fromControls);
  // Steps that end the upgrade command either way.
  void EndUpgradeCommand();

  MainDialogView& mView;
  FirmwareLibrary& mLibrary;
  const std::string mAppName;
  std::function<void(VlmFwUpgradeDlg&)> mSetUpLogging;

  ListCtrl mDeviceList;
  std::string mVldFileName;
  std::string mHwIdText;
  std::string mSoftwareDateTimeText;
  std::string mInfoText;
  std::string mModelIdText;
  std::string mSoftwareVersionText;
  std::string mVendorIdText;
  bool mStartupPosted = false;
  uintptr_t mDeviceNotification = 0;
  bool mUpgradeRunning = false;
  bool mRefreshPending = false;
};

}  // namespace vlmapp
