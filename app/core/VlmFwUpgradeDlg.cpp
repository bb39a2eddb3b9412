#include "VlmFwUpgradeDlg.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "CAboutDlg.h"
#include "DownloadProgressDlg.h"
#include "StringTable.h"
#include "TextFormat.h"

namespace vlmapp {
namespace {

// Device-change event codes and the device type of interface notifications.
constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemovePending = 0x8003;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;
constexpr uint32_t kDeviceTypeInterface = 5;

// {49F4A1FF-55DD-4d45-9743-7B623EFF0361} in its binary layout.
constexpr uint8_t kInterfaceClassBytes[16] = {0xFF, 0xA1, 0xF4, 0x49, 0xDD, 0x55, 0x45, 0x4D,
                                              0x97, 0x43, 0x7B, 0x62, 0x3E, 0xFF, 0x03, 0x61};

// Text of a fixed-size character field that may lack its terminator.
std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

VlmFwUpgradeDlg::VlmFwUpgradeDlg(MainDialogView& view, FirmwareLibrary& library, std::string appName,
                                 std::function<void(VlmFwUpgradeDlg&)> setUpLogging)
    : mView(view),
      mLibrary(library),
      mAppName(std::move(appName)),
      mSetUpLogging(std::move(setUpLogging)),
      mDeviceList(view) {}

void VlmFwUpgradeDlg::OnInitDialog() {
  ExchangeTexts(false);
  const std::string about = LoadText(IDS_ABOUTBOX);
  if (!about.empty()) mView.AddSystemMenuItem(IDM_ABOUTBOX, about);
  mView.SetWindowTitle(LoadText(IDS_WINDOW_TITLE));
  mDeviceList.InitColumns();
  UpdateUpgradeButton();
  if (mDeviceNotification == 0) {
    DeviceInterfaceFilter filter;
    std::memcpy(filter.classGuid, kInterfaceClassBytes, sizeof filter.classGuid);
    // A failed registration is silent: the list is then built at start-up only.
    mDeviceNotification = mView.RegisterDeviceChanges(filter);
  }
}

void VlmFwUpgradeDlg::OnShowWindow() {
  if (mStartupPosted) return;
  mStartupPosted = true;
  mView.PostToSelf(UM_STARTUP);
}

bool VlmFwUpgradeDlg::OnPrivateMessage(uint32_t message) {
  if (message == UM_STARTUP) {
    if (mSetUpLogging) mSetUpLogging(*this);
  } else if (message != UM_REFRESH_DEVICES) {
    return false;
  }
  RefreshDeviceList();
  UpdateUpgradeButton();
  return true;
}

bool VlmFwUpgradeDlg::HandleDeviceChange(uint32_t eventCode, const void* record) {
  if (record == nullptr) return true;
  uint32_t deviceType = 0;
  std::memcpy(&deviceType, static_cast<const unsigned char*>(record) + 4, sizeof deviceType);
  if (deviceType != kDeviceTypeInterface) return true;
  if (eventCode == kDeviceArrival || eventCode == kDeviceRemovePending || eventCode == kDeviceRemoveComplete) {
    if (mUpgradeRunning) {
      mRefreshPending = true;
    } else {
      mView.PostToSelf(UM_REFRESH_DEVICES);
    }
  }
  return true;
}

void VlmFwUpgradeDlg::OnListItemChanged(int row, bool wasSelected, bool isSelected) {
  if (wasSelected == isSelected) return;
  if (isSelected) {
    mDeviceList.OnSelectionChanged(row);
  } else if (mDeviceList.SelectedRow() == row) {
    mDeviceList.OnSelectionChanged(-1);
  }
  UpdateUpgradeButton();
}

void VlmFwUpgradeDlg::RefreshDeviceList() {
  if (mDeviceList.SelectedRow() >= 0) {
    mDeviceList.SetSelectedRow(-1);
    UpdateUpgradeButton();
  }
  mDeviceList.DeleteAllItems();
  uint32_t count = 0;
  const uint32_t status = mLibrary.EnumerateDevices(VLMUFWDL_INTERFACE_GUID_STR, &count);
  if (status != 0) {
    ShowLibraryError(status);
    return;
  }
  for (uint32_t index = 0; index < count; ++index) {
    VLMUFWDL_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    const uint32_t infoStatus = mLibrary.GetDeviceInfo(index, &info);
    if (infoStatus != 0) {
      ShowLibraryError(infoStatus);
      continue;
    }
    mDeviceList.AddDevice(index, info);
  }
  if (count == 1) {
    mDeviceList.SetSelectedRow(0);
  } else if (count == 0) {
    mDeviceList.AddNoDeviceEntry(IDS_NO_DEVICES);
  }
}

void VlmFwUpgradeDlg::UpdateUpgradeButton() {
  const int row = mDeviceList.SelectedRow();
  const bool enable =
      !mVldFileName.empty() && row >= 0 && mDeviceList.Rows()[static_cast<size_t>(row)].itemData != kNoDeviceItemData;
  mView.EnableControl(IDC_UPGRADE, enable);
}

void VlmFwUpgradeDlg::ShowLibraryError(uint32_t status) {
  uint32_t textId = IDS_ERROR_GENERIC;
  switch (status) {
    case VLMUFWDL_STATUS_FILE_OPEN_FAILED:
      textId = IDS_FILE_OPEN_FAILED;
      break;
    case VLMUFWDL_STATUS_FILE_READ_FAILED:
      textId = IDS_FILE_READ_FAILED;
      break;
    // 5 to 8 are the image format codes; 7 and 8 are not reported by this
    // library version but keep their text for libraries that do.
    case VLMUFWDL_STATUS_FILE_FORMAT:
    case VLMUFWDL_STATUS_HEADER_CRC:
    case VLMUFWDL_STATUS_HEADER_CRC + 1:
    case VLMUFWDL_STATUS_HEADER_CRC + 2:
      textId = IDS_FILE_INVALID;
      break;
    default:
      break;
  }
  MessageBoxRequest box;
  box.text = LoadText(textId);
  box.caption = FormatText(LoadText(IDS_ERROR_CAPTION), {status});
  box.icon = MessageIcon::Error;
  box.buttons = MessageButtons::Ok;
  mView.ShowMessageBox(box);
}

std::string VlmFwUpgradeDlg::FormatDateTime(const char* date, const char* time) {
  std::string datePart;
  std::string timePart;
  // The characters are taken as they stand; a text shorter than its pattern
  // is filled with what it has (never read past its end).
  if (date != nullptr && date[0] != '\0') {
    char d[8] = {};
    for (size_t i = 0; i < 8 && date[i] != '\0'; ++i) d[i] = date[i];
    datePart = FormatText("%c%c%c%c/%c%c/%c%c", {d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]});
  }
  if (time != nullptr && time[0] != '\0') {
    char t[6] = {};
    for (size_t i = 0; i < 6 && time[i] != '\0'; ++i) t[i] = time[i];
    timePart = FormatText("%c%c:%c%c:%c%c", {t[0], t[1], t[2], t[3], t[4], t[5]});
  }
  // A character missing from a short text leaves no NUL byte in the result.
  std::string result = datePart + "  " + timePart;
  result.erase(std::remove(result.begin(), result.end(), '\0'), result.end());
  return result;
}

void VlmFwUpgradeDlg::OnOpenFile() {
  const std::optional<std::string> chosen = mView.ChooseOpenFile(OpenFileRequest{});
  if (!chosen) return;
  mVldFileName = *chosen;
  UpdateUpgradeButton();
  VLMUFWDL_VLD_FILE_INFO info;
  std::memset(&info, 0, sizeof info);
  const uint32_t status = mLibrary.GetVldFileInfo(mVldFileName.c_str(), &info);
  if (status != 0) {
    ShowLibraryError(status);
    return;
  }
  const std::string date = FieldText(info.SoftwareDate, sizeof info.SoftwareDate);
  const std::string time = FieldText(info.SoftwareTime, sizeof info.SoftwareTime);
  mModelIdText = FormatText("0x%08X", {info.ModelId});
  mSoftwareVersionText = FormatText("0x%08X", {info.SoftwareVersion});
  mSoftwareDateTimeText = FormatText("%s", {FormatDateTime(date.c_str(), time.c_str())});
  mHwIdText = FormatText("0x%08X", {info.HwId});
  mVendorIdText = FormatText("%02X%02X%02X", {info.VendorId[0], info.VendorId[1], info.VendorId[2]});
  mInfoText = FormatText("%s", {FieldText(info.InfoText, sizeof info.InfoText)});
  ExchangeTexts(false);
}

void VlmFwUpgradeDlg::OnUpgrade() {
  DownloadProgressDlg progress(mLibrary);
  mUpgradeRunning = true;

  MessageBoxRequest confirm;
  confirm.text = LoadText(IDP_CONFIRM_UPGRADE);
  confirm.caption = mAppName;
  confirm.icon = MessageIcon::Question;
  confirm.buttons = MessageButtons::YesNoDefaultNo;
  bool started = false;
  if (mView.ShowMessageBox(confirm) == MessageAnswer::Yes) {
    ExchangeTexts(true);
    const int row = mDeviceList.SelectedRow();
    const uint32_t itemData = row >= 0 ? mDeviceList.Rows()[static_cast<size_t>(row)].itemData : kNoDeviceItemData;
    if (itemData == kNoDeviceItemData) {
      MessageBoxRequest lost;
      lost.text = LoadText(IDS_DEVICE_LIST_CHANGED);
      lost.caption = mAppName;
      mView.ShowMessageBox(lost);
    } else if (const uint32_t open = mLibrary.OpenDevice(itemData); open != 0) {
      ShowLibraryError(open);
    } else if (const uint32_t start = mLibrary.StartDownload(mVldFileName.c_str(), 0); start != 0) {
      ShowLibraryError(start);
    } else {
      started = true;
    }
  }

  if (!started) {
    // Abandoned: closes the device opened above, if any (15 otherwise).
    mLibrary.CloseDevice();
    EndUpgradeCommand();
    return;
  }

  mView.RunProgressDialog(progress);
  const uint32_t close = mLibrary.CloseDevice();
  if (close != 0 && close != VLMUFWDL_STATUS_NO_DEVICE_OPEN) ShowLibraryError(close);
  EndUpgradeCommand();
  if (mDeviceNotification != 0) {
    mView.UnregisterDeviceChanges(mDeviceNotification);
    mDeviceNotification = 0;
  }
  ExchangeTexts(true);
  mView.EndDialog(kDialogResultOk);
}

void VlmFwUpgradeDlg::EndUpgradeCommand() {
  mUpgradeRunning = false;
  if (mRefreshPending) {
    mRefreshPending = false;
    mView.PostToSelf(UM_REFRESH_DEVICES);
  }
}

void VlmFwUpgradeDlg::OnCancel() {
  if (mDeviceNotification != 0) {
    mView.UnregisterDeviceChanges(mDeviceNotification);
    mDeviceNotification = 0;
  }
  mView.EndDialog(kDialogResultCancel);
}

bool VlmFwUpgradeDlg::OnSysCommand(uint32_t commandId) {
  if ((commandId & 0xFFF0u) != IDM_ABOUTBOX) return false;
  mView.RunAboutBox(CAboutDlg::Text());
  return true;
}

void VlmFwUpgradeDlg::ExchangeTexts(bool fromControls) {
  std::pair<uint32_t, std::string*> texts[] = {
      {IDC_VLD_FILE_NAME, &mVldFileName},
      {IDC_HW_ID, &mHwIdText},
      {IDC_SOFTWARE_DATE_TIME, &mSoftwareDateTimeText},
      {IDC_INFO_TEXT, &mInfoText},
      {IDC_MODEL_ID, &mModelIdText},
      {IDC_SOFTWARE_VERSION, &mSoftwareVersionText},
      {IDC_VENDOR_ID, &mVendorIdText},
  };
  for (auto& [id, text] : texts) {
    if (fromControls) {
      *text = mView.GetControlText(id);
    } else {
      mView.SetControlText(id, *text);
    }
  }
}

}  // namespace vlmapp
