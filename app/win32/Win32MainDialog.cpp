#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "Win32Views.h"
#include "resource.h"

namespace vlmwin {
namespace {

// The template ids and the private messages are those the logic uses.
static_assert(IDC_LIST_DEVICES == vlmapp::IDC_DEVICE_LIST && IDC_EDIT_VLD_FILE == vlmapp::IDC_VLD_FILE_NAME &&
                  IDC_BUTTON_OPEN == vlmapp::IDC_OPEN_FILE && IDC_EDIT_MODEL_ID == vlmapp::IDC_MODEL_ID &&
                  IDC_EDIT_SW_VERSION == vlmapp::IDC_SOFTWARE_VERSION && IDC_EDIT_HW_ID == vlmapp::IDC_HW_ID &&
                  IDC_EDIT_SW_DATE_TIME == vlmapp::IDC_SOFTWARE_DATE_TIME &&
                  IDC_EDIT_INFO_TEXT == vlmapp::IDC_INFO_TEXT && IDC_EDIT_VENDOR_ID == vlmapp::IDC_VENDOR_ID &&
                  IDC_STATIC_ABOUT == vlmapp::IDC_ABOUT_TEXT && IDOK == vlmapp::IDC_UPGRADE &&
                  IDCANCEL == vlmapp::IDC_EXIT,
              "template ids");
static_assert(WM_APP + 1 == vlmapp::UM_STARTUP && WM_APP + 2 == vlmapp::UM_REFRESH_DEVICES, "private messages");
static_assert(IDOK == vlmapp::kDialogResultOk && IDCANCEL == vlmapp::kDialogResultCancel, "dialog results");

// The logic's filter record is the system's device-interface filter.
static_assert(sizeof(vlmapp::DeviceInterfaceFilter) == sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), "filter size");
static_assert(offsetof(vlmapp::DeviceInterfaceFilter, deviceType) ==
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_devicetype),
              "filter device type");
static_assert(offsetof(vlmapp::DeviceInterfaceFilter, classGuid) ==
                  offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid),
              "filter class");
static_assert(offsetof(vlmapp::DeviceInterfaceFilter, name) == offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name),
              "filter name");

// The path field's buffer for the open-file dialog.
constexpr DWORD kFileNameChars = 4096;

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextA(window, IDC_STATIC_ABOUT, reinterpret_cast<const char*>(lParam));
      CentreOverOwner(window);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(window, LOWORD(wParam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

void CentreOverOwner(HWND dialog) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoA(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor)) return;
  const RECT work = monitor.rcWork;
  HWND owner = GetWindow(dialog, GW_OWNER);
  RECT over = work;
  if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &over);
  RECT self;
  GetWindowRect(dialog, &self);
  const LONG width = self.right - self.left;
  const LONG height = self.bottom - self.top;
  LONG x = over.left + (over.right - over.left - width) / 2;
  LONG y = over.top + (over.bottom - over.top - height) / 2;
  x = std::max(work.left, std::min(x, work.right - width));
  y = std::max(work.top, std::min(y, work.bottom - height));
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

UINT MessageBoxStyle(const vlmapp::MessageBoxRequest& request) {
  UINT style = request.icon == vlmapp::MessageIcon::Question ? MB_ICONQUESTION : MB_ICONERROR;
  style |= request.buttons == vlmapp::MessageButtons::YesNoDefaultNo ? (MB_YESNO | MB_DEFBUTTON2) : MB_OK;
  return style;
}

vlmapp::MessageAnswer MessageBoxAnswer(int result) {
  switch (result) {
    case IDOK:
      return vlmapp::MessageAnswer::Ok;
    case IDYES:
      return vlmapp::MessageAnswer::Yes;
    case IDNO:
      return vlmapp::MessageAnswer::No;
    default:
      return vlmapp::MessageAnswer::Closed;
  }
}

Win32MainDialog::Win32MainDialog(HINSTANCE instance, vlmapp::FirmwareLibrary& library, const std::string& appName,
                                 std::function<void(vlmapp::VlmFwUpgradeDlg&)> setUpLogging)
    : mInstance(instance), mLogic(*this, library, appName, std::move(setUpLogging)) {
  // Icon 128 is loaded with the dialog object, in both of its sizes.
  mIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  mSmallIcon =
      static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

Win32MainDialog::~Win32MainDialog() {
  if (mIcon != nullptr) DestroyIcon(mIcon);
  if (mSmallIcon != nullptr) DestroyIcon(mSmallIcon);
}

INT_PTR Win32MainDialog::Run() {
  return DialogBoxParamA(mInstance, MAKEINTRESOURCEA(IDD_VLMFWUPGRADE_DIALOG), nullptr, &DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Win32MainDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32MainDialog*>(GetWindowLongPtrA(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Win32MainDialog*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    self->mWindow = window;
    self->mList = GetDlgItem(window, IDC_LIST_DEVICES);
  }
  if (self == nullptr) return FALSE;
  return self->HandleMessage(message, wParam, lParam);
}

INT_PTR Win32MainDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SendMessageA(mWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(mIcon));
      SendMessageA(mWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(mSmallIcon));
      CentreOverOwner(mWindow);
      mLogic.OnInitDialog();
      return TRUE;  // the default focus is set by the dialog manager
    case WM_SHOWWINDOW:
      if (wParam != FALSE) mLogic.OnShowWindow();
      return FALSE;
    case WM_APP + 1:
    case WM_APP + 2:
      mLogic.OnPrivateMessage(message);
      SetWindowLongPtrA(mWindow, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_DEVICECHANGE:
      SetWindowLongPtrA(mWindow, DWLP_MSGRESULT,
                        mLogic.HandleDeviceChange(static_cast<uint32_t>(wParam), reinterpret_cast<const void*>(lParam))
                            ? TRUE
                            : FALSE);
      return TRUE;
    case WM_NOTIFY:
      if (lParam != 0 && OnNotify(*reinterpret_cast<const NMHDR*>(lParam))) {
        SetWindowLongPtrA(mWindow, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          // Enter issues the default button's command; it runs only while
          // the button is enabled, as a click would.
          if (IsWindowEnabled(GetDlgItem(mWindow, IDOK))) mLogic.OnUpgrade();
          return TRUE;
        case IDCANCEL:
          mLogic.OnCancel();
          return TRUE;
        case IDC_BUTTON_OPEN:
          if (HIWORD(wParam) == BN_CLICKED) mLogic.OnOpenFile();
          return TRUE;
        default:
          return FALSE;
      }
    case WM_SYSCOMMAND:
      if (mLogic.OnSysCommand(static_cast<uint32_t>(wParam))) {
        SetWindowLongPtrA(mWindow, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      return PaintMinimised() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(mIcon);
    default:
      return FALSE;
  }
}

bool Win32MainDialog::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_LIST_DEVICES || header.code != LVN_ITEMCHANGED) return false;
  if (mUpdatingList) return true;
  const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
  if ((change.uChanged & LVIF_STATE) == 0 || change.iItem < 0) return true;
  const bool was = (change.uOldState & LVIS_SELECTED) != 0;
  const bool is = (change.uNewState & LVIS_SELECTED) != 0;
  if (was != is) mLogic.OnListItemChanged(change.iItem, was, is);
  return true;
}

bool Win32MainDialog::PaintMinimised() {
  if (!IsIconic(mWindow)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(mWindow, &paint);
  SendMessageA(mWindow, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(mWindow, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, mIcon);
  EndPaint(mWindow, &paint);
  return true;
}

void Win32MainDialog::SetWindowTitle(const std::string& title) { SetWindowTextA(mWindow, title.c_str()); }

bool Win32MainDialog::AddSystemMenuItem(uint32_t commandId, const std::string& text) {
  HMENU menu = GetSystemMenu(mWindow, FALSE);
  if (menu == nullptr) return false;
  AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  return AppendMenuA(menu, MF_STRING, commandId, text.c_str()) != FALSE;
}

void Win32MainDialog::InitListColumns(const std::vector<vlmapp::ListColumn>& columns) {
  for (size_t i = 0; i < columns.size(); ++i) {
    LVCOLUMNA column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = columns[i].widthPixels;
    column.pszText = const_cast<char*>(columns[i].title.c_str());
    column.iSubItem = static_cast<int>(i);
    SendMessageA(mList, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
  }
  const DWORD added = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT;
  SendMessageA(mList, LVM_SETEXTENDEDLISTVIEWSTYLE, added, added);
}

void Win32MainDialog::ShowListRows(const std::vector<vlmapp::ListRow>& rows) {
  mUpdatingList = true;
  SendMessageA(mList, LVM_DELETEALLITEMS, 0, 0);
  for (size_t r = 0; r < rows.size(); ++r) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(r);
    item.pszText = const_cast<char*>(rows[r].text[0].c_str());
    item.lParam = static_cast<LPARAM>(rows[r].itemData == vlmapp::kNoDeviceItemData ? -1 : rows[r].itemData);
    const auto position = SendMessageA(mList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    if (position < 0) continue;
    LVITEMA sub{};
    sub.iSubItem = 1;
    sub.pszText = const_cast<char*>(rows[r].text[1].c_str());
    SendMessageA(mList, LVM_SETITEMTEXTA, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(&sub));
  }
  mUpdatingList = false;
}

void Win32MainDialog::SelectListRow(int row) {
  mUpdatingList = true;
  LVITEMA state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  state.state = 0;
  SendMessageA(mList, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
  if (row >= 0) {
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(mList, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&state));
  }
  mUpdatingList = false;
}

void Win32MainDialog::SetControlText(uint32_t id, const std::string& text) {
  SetDlgItemTextA(mWindow, static_cast<int>(id), text.c_str());
}

std::string Win32MainDialog::GetControlText(uint32_t id) {
  HWND control = GetDlgItem(mWindow, static_cast<int>(id));
  if (control == nullptr) return {};
  const int length = GetWindowTextLengthA(control);
  if (length <= 0) return {};
  std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(control, text.data(), length + 1);
  return std::string(text.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

void Win32MainDialog::EnableControl(uint32_t id, bool enabled) {
  HWND control = GetDlgItem(mWindow, static_cast<int>(id));
  if (control != nullptr) EnableWindow(control, enabled ? TRUE : FALSE);
}

void Win32MainDialog::PostToSelf(uint32_t message) { PostMessageA(mWindow, message, 0, 0); }

uintptr_t Win32MainDialog::RegisterDeviceChanges(const vlmapp::DeviceInterfaceFilter& filter) {
  DEV_BROADCAST_DEVICEINTERFACE_A record{};
  static_assert(sizeof record == sizeof filter);
  std::memcpy(&record, &filter, sizeof record);
  return reinterpret_cast<uintptr_t>(RegisterDeviceNotificationA(mWindow, &record, DEVICE_NOTIFY_WINDOW_HANDLE));
}

void Win32MainDialog::UnregisterDeviceChanges(uintptr_t registration) {
  if (registration != 0) UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(registration));
}

vlmapp::MessageAnswer Win32MainDialog::ShowMessageBox(const vlmapp::MessageBoxRequest& request) {
  return MessageBoxAnswer(
      MessageBoxA(mWindow, request.text.c_str(), request.caption.c_str(), MessageBoxStyle(request)));
}

std::optional<std::string> Win32MainDialog::ChooseOpenFile(const vlmapp::OpenFileRequest& request) {
  // Filter: description, NUL, pattern, NUL, NUL.
  std::string filter = request.filterDescription;
  filter.push_back('\0');
  filter += request.filterPattern;
  filter.push_back('\0');
  filter.push_back('\0');
  std::vector<char> fileName(kFileNameChars, '\0');
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = mWindow;
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = fileName.data();
  dialog.nMaxFile = kFileNameChars;
  dialog.lpstrDefExt = request.defaultExtension.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_LONGNAMES;
  if (!GetOpenFileNameA(&dialog)) return std::nullopt;
  return std::string(fileName.data());
}

void Win32MainDialog::RunAboutBox(const std::string& text) {
  DialogBoxParamA(mInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), mWindow, &AboutProc,
                  reinterpret_cast<LPARAM>(text.c_str()));
}

void Win32MainDialog::RunProgressDialog(vlmapp::DownloadProgressDlg& progress) {
  Win32ProgressDialog dialog(mInstance, progress);
  dialog.Run(mWindow);
}

void Win32MainDialog::EndDialog(int result) { ::EndDialog(mWindow, result); }

}  // namespace vlmwin
