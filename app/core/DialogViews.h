#pragma once
// What the dialogs' logic asks of a window toolkit. The Qt and Win32 views
// implement these; the logic in this folder never sees a toolkit type.
// Names that windows.h defines as macros (IDOK, MessageBox,
// RegisterDeviceNotification, ...) are avoided on purpose.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vlmapp {

class DownloadProgressDlg;

// Control ids of the dialog templates.
enum ControlId : uint32_t {
  IDC_UPGRADE = 1,  // main dialog: "Upgrade Firmware", the OK command
  IDC_EXIT = 2,     // main dialog: "Exit", the cancel command
  IDC_CLOSE = 2,    // progress dialog: "Close", the cancel command
  IDC_ABOUT_OK = 1,
  IDC_VLD_FILE_NAME = 1003,
  IDC_OPEN_FILE = 1004,
  IDC_DEVICE_LIST = 1006,
  IDC_PROGRESS = 1008,
  IDC_STATUS_TEXT = 1009,
  IDC_ABOUT_TEXT = 1010,
  IDC_MODEL_ID = 1017,
  IDC_SOFTWARE_VERSION = 1021,
  IDC_HW_ID = 1023,
  IDC_SOFTWARE_DATE_TIME = 1024,
  IDC_INFO_TEXT = 1025,
  IDC_VENDOR_ID = 1029,
};

// Private messages the main dialog posts to itself (first application message + 1, + 2).
inline constexpr uint32_t UM_STARTUP = 0x8001;
inline constexpr uint32_t UM_REFRESH_DEVICES = 0x8002;

// Pause before a posted poll of the progress dialog (ProgressDialogView::PostPoll).
inline constexpr uint32_t kPostedPollPauseMs = 10;

// The About entry of the system menu.
inline constexpr uint32_t IDM_ABOUTBOX = 0x0010;

// Results a dialog ends with.
inline constexpr int kDialogResultOk = 1;
inline constexpr int kDialogResultCancel = 2;

enum class MessageIcon { Error, Question };
enum class MessageButtons { Ok, YesNoDefaultNo };
enum class MessageAnswer { Ok, Yes, No, Closed };

struct MessageBoxRequest {
  std::string text;
  std::string caption;
  MessageIcon icon = MessageIcon::Error;
  MessageButtons buttons = MessageButtons::Ok;
};

struct OpenFileRequest {
  std::string filterDescription = "Firmware image (*.vld)";
  std::string filterPattern = "*.vld";
  std::string defaultExtension = "vld";
};

struct ListColumn {
  std::string title;
  int widthPixels = 0;
};

struct ListRow {
  uint32_t itemData = 0;
  std::string text[2];
};

// Filter record of a device-interface notification registration: 32 bytes,
// size, device type 5, reserved, the interface class GUID, an empty name.
#pragma pack(push, 1)
struct DeviceInterfaceFilter {
  uint32_t size = 32;
  uint32_t deviceType = 5;
  uint32_t reserved = 0;
  uint8_t classGuid[16] = {};
  char name[4] = {};
};
#pragma pack(pop)
static_assert(sizeof(DeviceInterfaceFilter) == 32, "filter record is 32 bytes");

class MainDialogView {
 public:
  virtual ~MainDialogView() = default;

  virtual void SetWindowTitle(const std::string& title) = 0;
  // Adds a separator and the item to the window's system menu (or what
  // stands for it); false when the window has none.
  virtual bool AddSystemMenuItem(uint32_t commandId, const std::string& text) = 0;

  // The device list.
  virtual void InitListColumns(const std::vector<ListColumn>& columns) = 0;
  virtual void ShowListRows(const std::vector<ListRow>& rows) = 0;
  virtual void SelectListRow(int row) = 0;  // -1: none

  // Texts and buttons by control id.
  virtual void SetControlText(uint32_t id, const std::string& text) = 0;
  virtual std::string GetControlText(uint32_t id) = 0;
  virtual void EnableControl(uint32_t id, bool enabled) = 0;

  // Queues `message` to the dialog itself; it comes back through the
  // dialog's message handler after the current event.
  virtual void PostToSelf(uint32_t message) = 0;

  // Device-interface notifications for the filter's class: a non-zero
  // registration, or 0 when it failed.
  virtual uintptr_t RegisterDeviceChanges(const DeviceInterfaceFilter& filter) = 0;
  virtual void UnregisterDeviceChanges(uintptr_t registration) = 0;

  // Modal interactions, owned by the dialog.
  virtual MessageAnswer ShowMessageBox(const MessageBoxRequest& request) = 0;
  virtual std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) = 0;
  virtual void RunAboutBox(const std::string& text) = 0;
  virtual void RunProgressDialog(DownloadProgressDlg& progress) = 0;

  virtual void EndDialog(int result) = 0;
};

class ProgressDialogView {
 public:
  virtual ~ProgressDialogView() = default;
  virtual void SetStatusText(const std::string& text) = 0;
  virtual void SetProgressRange(uint32_t low, uint32_t high) = 0;
  virtual void SetProgressPosition(uint32_t position) = 0;
  virtual void EnableCloseButton(bool enabled) = 0;
  // A timer on the dialog with this identifier; false when the platform
  // cannot create it.
  virtual bool StartTimer(uintptr_t id, uint32_t periodMs) = 0;
  virtual void StopTimer(uintptr_t id) = 0;
  // Queues a poll to the dialog itself (a posted message, no timer); it
  // comes back through DownloadProgressDlg::OnPollEvent once the events
  // already waiting are handled, after a pause of kPostedPollPauseMs that
  // keeps a chain of them from taking a whole processor.
  virtual void PostPoll() = 0;
};

}  // namespace vlmapp
