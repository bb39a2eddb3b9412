// Looks at the running upgrade program from another process, as a user's
// desktop would: wine_window_probe <command>
//   wait-main       waits up to 30 s for the main dialog
//   check-main      title, the placeholder row, the disabled button, the system menu
//   count-main      prints how many top-level windows carry the main title
//   rect <title>    prints the window's outer rectangle as WxH+X+Y
//   about           opens the About box through the system menu command and checks its text
//   close-about     ends the About box with its OK button
//   exit            ends the main dialog with "Exit" and waits until it is gone
//   check-log       the library's log in the temporary directory names the enumeration
//   show-about <program> <ms>
//                   shows template 100 of the program file with the About text of
//                   the program's logic for a while (for a screenshot)
//   show-progress <program> <ms>
//                   shows template 129 of the program file over the running
//                   program's progress dialog, with its status line, bar and
//                   "Close" state, for a while (for a screenshot)
//   wait-rows <n>   waits up to 30 s until the device list has n device rows
//   check-row <row> <ids> <serial>
//                   the row's two columns
//   open-file <path>
//                   "Open", the path typed into the system's file dialog, its
//                   OK; waits until the path field shows the path
//   upgrade         "Upgrade Firmware" once enabled, then "Yes" in the confirmation
//   wait-progress <text> <s>
//                   waits up to s seconds until the progress dialog's status
//                   line contains the text
//   close-progress  "Close" in the progress dialog once enabled
//   centred <title> the dialog's centre is that of its owner, or of the work
//                   area for a dialog without one (within 2 pixels)
//   patch-text <program> <id> <text>
//                   replaces string <id> in the string table resource of the
//                   program file (a copy: the program reads its texts from there)
// Exit status 0 when the check holds; the reason is printed otherwise.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CAboutDlg.h"

namespace {

constexpr const char* kTitle = "Velmora USB Firmware Upgrade";

int Fail(const std::string& why) {
  std::printf("FAIL: %s\n", why.c_str());
  return 1;
}

HWND WaitWindow(const char* className, const char* title, DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += 100) {
    if (HWND window = FindWindowA(className, title)) return window;
    if (waited >= timeoutMs) return nullptr;
    Sleep(100);
  }
}

HWND MainWindow() { return WaitWindow("#32770", kTitle, 30000); }

// Text of a list view row of another process: the request lives in memory
// of that process.
std::string ListItemText(HWND list, int item, int subItem) {
  DWORD processId = 0;
  GetWindowThreadProcessId(list, &processId);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
  if (process == nullptr) return "<no access>";
  constexpr SIZE_T kText = 256;
  auto* remote = static_cast<char*>(
      VirtualAllocEx(process, nullptr, sizeof(LVITEMA) + kText, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  std::string result = "<no memory>";
  if (remote != nullptr) {
    LVITEMA request{};
    request.iSubItem = subItem;
    request.pszText = remote + sizeof(LVITEMA);
    request.cchTextMax = kText;
    WriteProcessMemory(process, remote, &request, sizeof request, nullptr);
    SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(remote));
    char text[kText] = {};
    ReadProcessMemory(process, remote + sizeof(LVITEMA), text, kText - 1, nullptr);
    result = text;
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  return result;
}

int CheckMain() {
  HWND main = MainWindow();
  if (main == nullptr) return Fail("no main dialog");
  HWND list = GetDlgItem(main, 1006);
  if (list == nullptr) return Fail("no device list 1006");
  // The list is filled after the dialog is shown.
  for (int i = 0; i < 100 && SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) == 0; ++i) Sleep(100);
  const auto rows = SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
  if (rows != 1) return Fail("rows: " + std::to_string(rows));
  const std::string row = ListItemText(list, 0, 0);
  if (row != "--- no devices available ---") return Fail("row 0: " + row);
  if (IsWindowEnabled(GetDlgItem(main, IDOK))) return Fail("\"Upgrade Firmware\" is enabled");
  if (!IsWindowEnabled(GetDlgItem(main, IDCANCEL))) return Fail("\"Exit\" is disabled");
  if ((GetWindowLongA(main, GWL_STYLE) & WS_SYSMENU) == 0) return Fail("no system menu");
  // Wine gives no other process the window's system menu; where it does,
  // the About item is checked by its text. The command itself is checked by
  // the "about" step.
  char item[64] = "(not readable from another process)";
  if (HMENU menu = GetSystemMenu(main, FALSE)) {
    if (GetMenuStringA(menu, 0x0010, item, sizeof item, MF_BYCOMMAND) <= 0 || std::strcmp(item, "&About ...") != 0) {
      return Fail(std::string("About item: ") + item);
    }
  }
  std::printf("main dialog: \"%s\", row \"%s\", upgrade disabled, system menu \"%s\"\n", kTitle, row.c_str(), item);
  return 0;
}

int CountMain() {
  int count = 0;
  EnumWindows(
      [](HWND window, LPARAM counter) -> BOOL {
        char title[128] = {};
        GetWindowTextA(window, title, sizeof title);
        if (std::strcmp(title, kTitle) == 0) ++*reinterpret_cast<int*>(counter);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&count));
  std::printf("%d\n", count);
  return 0;
}

int Rect(const char* title) {
  HWND window = WaitWindow("#32770", title, 10000);
  if (window == nullptr) return Fail(std::string("no window ") + title);
  // Ask for a fresh paint of the whole window before it is captured.
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW | SWP_FRAMECHANGED);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
  Sleep(500);
  RECT r;
  GetWindowRect(window, &r);
  std::printf("%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
  return 0;
}

int About() {
  HWND main = MainWindow();
  if (main == nullptr) return Fail("no main dialog");
  SendNotifyMessageA(main, WM_SYSCOMMAND, 0x0010, 0);
  HWND about = WaitWindow("#32770", "About", 10000);
  if (about == nullptr) return Fail("no About box");
  char text[256] = {};
  GetDlgItemTextA(about, 1010, text, sizeof text);
  const std::string expected = "Velmora USB Firmware Upgrade\n\nVersion 5.22.1\n\n";
  if (std::string(text).rfind(expected, 0) != 0) return Fail(std::string("About text: ") + text);
  if (GetParent(about) != main && GetWindow(about, GW_OWNER) != main) return Fail("About box not owned by the dialog");
  std::printf("About box: %s\n", text);
  return 0;
}

int CloseAbout() {
  HWND about = WaitWindow("#32770", "About", 5000);
  if (about == nullptr) return Fail("no About box");
  PostMessageA(about, WM_COMMAND, IDOK, 0);
  for (int i = 0; i < 100 && IsWindow(about); ++i) Sleep(100);
  return IsWindow(about) ? Fail("About box still open") : 0;
}

int Exit() {
  HWND main = MainWindow();
  if (main == nullptr) return Fail("no main dialog");
  PostMessageA(main, WM_COMMAND, IDCANCEL, 0);
  for (int i = 0; i < 100 && IsWindow(main); ++i) Sleep(100);
  return IsWindow(main) ? Fail("main dialog still open") : 0;
}

int CheckLog() {
  char directory[MAX_PATH + 1] = {};
  if (GetTempPathA(MAX_PATH, directory) == 0) return Fail("no temporary directory");
  const std::string path = std::string(directory) + "VelmoraFlashTool_x64.log";
  std::ifstream file(path, std::ios::binary);
  if (!file) return Fail("no log file " + path);
  std::stringstream content;
  content << file.rdbuf();
  if (content.str().find("API <-: VLMUFWDL_EnumerateDevices(*NumberOfDevices = 0) returning 0x00000000") ==
      std::string::npos) {
    return Fail("log without the enumeration: " + content.str());
  }
  std::printf("log file: %s\n", path.c_str());
  return 0;
}

// Device rows of the list (the placeholder row counts as none).
int DeviceRows(HWND list) {
  const auto rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  return rows == 1 && ListItemText(list, 0, 0) == "--- no devices available ---" ? 0 : rows;
}

int WaitRows(int expected) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail("no main dialog");
  HWND list = GetDlgItem(main, 1006);
  for (int i = 0; i < 300 && DeviceRows(list) != expected; ++i) Sleep(100);
  const int rows = DeviceRows(list);
  if (rows != expected) return Fail(std::to_string(rows) + " device rows, not " + std::to_string(expected));
  std::printf("%d device rows\n", rows);
  return 0;
}

int CheckRow(int row, const std::string& ids, const std::string& serial) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail("no main dialog");
  HWND list = GetDlgItem(main, 1006);
  const std::string shown = ListItemText(list, row, 0) + " | " + ListItemText(list, row, 1);
  if (shown != ids + " | " + serial) return Fail("row " + std::to_string(row) + ": " + shown);
  std::printf("row %d: %s\n", row, shown.c_str());
  return 0;
}

// A button's command, as a click sends it.
void Click(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool WaitEnabled(HWND dialog, int id) {
  for (int i = 0; i < 300 && !IsWindowEnabled(GetDlgItem(dialog, id)); ++i) Sleep(100);
  return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE;
}

std::string Text(HWND window, int id) {
  char text[512] = {};
  GetDlgItemTextA(window, id, text, sizeof text);
  return text;
}

int OpenFile(const std::string& path) {
  HWND main = MainWindow();
  if (main == nullptr) return Fail("no main dialog");
  Click(main, 1004);
  HWND chooser = WaitWindow("#32770", "Open", 30000);
  if (chooser == nullptr) return Fail("no file dialog after \"Open\"");
  // The file name box of the system's dialog (cmb13, edt1 in older ones),
  // once the dialog has made its controls.
  bool typed = false;
  for (int i = 0; i < 100 && !typed; ++i) {
    typed = SetDlgItemTextA(chooser, 0x47C, path.c_str()) || SetDlgItemTextA(chooser, 0x480, path.c_str());
    if (!typed) Sleep(100);
  }
  if (!typed) return Fail("no file name box in the file dialog");
  PostMessageA(chooser, WM_COMMAND, IDOK, 0);
  for (int i = 0; i < 300 && Text(main, 1003) != path; ++i) Sleep(100);
  if (Text(main, 1003) != path) return Fail("path field: " + Text(main, 1003));
  std::printf("image: %s, model %s, info \"%s\"\n", path.c_str(), Text(main, 1017).c_str(), Text(main, 1025).c_str());
  return 0;
}

int Upgrade() {
  HWND main = MainWindow();
  if (main == nullptr) return Fail("no main dialog");
  if (!WaitEnabled(main, IDOK)) return Fail("\"Upgrade Firmware\" stays disabled");
  Click(main, IDOK);
  HWND confirm = WaitWindow("#32770", "VelmoraFlashTool_x64", 30000);
  if (confirm == nullptr) return Fail("no confirmation after \"Upgrade Firmware\"");
  PostMessageA(confirm, WM_COMMAND, IDYES, 0);
  std::printf("confirmed\n");
  return 0;
}

int WaitProgress(const std::string& wanted, int seconds) {
  HWND progress = WaitWindow("#32770", "Download progress", 30000);
  if (progress == nullptr) return Fail("no progress dialog");
  for (int i = 0; i < seconds * 20 && Text(progress, 1009).find(wanted) == std::string::npos; ++i) Sleep(50);
  const std::string status = Text(progress, 1009);
  if (status.find(wanted) == std::string::npos) return Fail("progress status: " + status);
  std::printf("progress: %s (bar at %d)\n", status.c_str(),
              static_cast<int>(SendDlgItemMessageA(progress, 1008, PBM_GETPOS, 0, 0)));
  return 0;
}

int CloseProgress() {
  HWND progress = WaitWindow("#32770", "Download progress", 5000);
  if (progress == nullptr) return Fail("no progress dialog");
  if (!WaitEnabled(progress, IDCANCEL)) return Fail("\"Close\" stays disabled");
  Click(progress, IDCANCEL);
  for (int i = 0; i < 100 && IsWindow(progress); ++i) Sleep(100);
  return IsWindow(progress) ? Fail("progress dialog still open") : 0;
}

int Centred(const char* title) {
  HWND dialog = WaitWindow("#32770", title, 10000);
  if (dialog == nullptr) return Fail(std::string("no window ") + title);
  RECT over;
  HWND owner = GetWindow(dialog, GW_OWNER);
  if (owner != nullptr) {
    GetWindowRect(owner, &over);
  } else {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoA(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor);
    over = monitor.rcWork;
  }
  RECT self;
  GetWindowRect(dialog, &self);
  const long dx = (self.left + self.right) / 2 - (over.left + over.right) / 2;
  const long dy = (self.top + self.bottom) / 2 - (over.top + over.bottom) / 2;
  if (dx < -2 || dx > 2 || dy < -2 || dy > 2) {
    return Fail(std::string(title) + " is off centre by " + std::to_string(dx) + ", " + std::to_string(dy));
  }
  std::printf("%s centred over %s\n", title, owner != nullptr ? "its owner" : "the work area");
  return 0;
}

// String table resources hold 16 strings per block, each a length and that
// many UTF-16 characters; block n has the ids 16 * (n - 1) to 16 * n - 1.
int PatchText(const char* program, int id, const std::string& text) {
  const WORD block = static_cast<WORD>(id / 16 + 1);
  std::vector<WORD> data;
  HMODULE file = LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = file != nullptr ? FindResourceA(file, MAKEINTRESOURCEA(block), MAKEINTRESOURCEA(6)) : nullptr;
  if (found == nullptr) return Fail(std::string("no string block in ") + program);
  const auto* old = static_cast<const WORD*>(LockResource(LoadResource(file, found)));
  for (int i = 0, at = 0; i < 16; ++i) {
    const WORD length = old[at];
    if (i == id % 16) {
      data.push_back(static_cast<WORD>(text.size()));
      data.insert(data.end(), text.begin(), text.end());  // ASCII text
    } else {
      data.insert(data.end(), old + at, old + at + 1 + length);
    }
    at += 1 + length;
  }
  FreeLibrary(file);
  HANDLE update = BeginUpdateResourceA(program, FALSE);
  if (update == nullptr ||
      !UpdateResourceA(update, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(block),
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), data.data(),
                       static_cast<DWORD>(data.size() * sizeof(WORD))) ||
      !EndUpdateResourceA(update, FALSE)) {
    return Fail(std::string("cannot update the resources of ") + program);
  }
  std::printf("string %d of %s: %s\n", id, program, text.c_str());
  return 0;
}

// Puts up a dialog template of the program file for a while, filled in by
// `fill`, at the place of `over` (when given) and above it: a dialog that
// the running program opens over its main dialog gets its paint messages,
// but under Wine 8 on Xvfb its content does not reach the screen, so the
// screenshot shows this copy of it. Prints "shown" once it is up.
template <typename Fill>
int ShowTemplate(const char* program, int templateId, HWND over, DWORD milliseconds, Fill fill) {
  HMODULE resources = LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (resources == nullptr) return Fail(std::string("cannot read ") + program);
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HWND copy = CreateDialogParamA(
      resources, MAKEINTRESOURCEA(templateId), nullptr,
      [](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR { return message == WM_INITDIALOG; }, 0);
  if (copy == nullptr) return Fail("template " + std::to_string(templateId) + " not created");
  fill(copy);
  RECT place{};
  if (over != nullptr) GetWindowRect(over, &place);
  SetWindowPos(copy, HWND_TOPMOST, place.left, place.top, 0, 0,
               SWP_NOSIZE | SWP_SHOWWINDOW | (over != nullptr ? 0 : SWP_NOMOVE));
  std::printf("shown\n");
  std::fflush(stdout);
  const DWORD end = GetTickCount() + milliseconds;
  while (GetTickCount() < end) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(20);
  }
  DestroyWindow(copy);
  FreeLibrary(resources);
  return 0;
}

// Template 100 with the About text of the program's logic.
int ShowAbout(const char* program, DWORD milliseconds) {
  return ShowTemplate(program, 100, nullptr, milliseconds,
                      [](HWND copy) { SetDlgItemTextA(copy, 1010, vlmapp::CAboutDlg::Text().c_str()); });
}

// Template 129 showing what the running program's progress dialog shows:
// its status line, its bar and whether "Close" is enabled.
int ShowProgress(const char* program, DWORD milliseconds) {
  HWND live = WaitWindow("#32770", "Download progress", 10000);
  if (live == nullptr) return Fail("no progress dialog");
  const std::string status = Text(live, 1009);
  // The range's ends as results: a pointer would not cross the processes.
  const auto low = SendDlgItemMessageA(live, 1008, PBM_GETRANGE, TRUE, 0);
  const auto high = SendDlgItemMessageA(live, 1008, PBM_GETRANGE, FALSE, 0);
  const auto position = SendDlgItemMessageA(live, 1008, PBM_GETPOS, 0, 0);
  const BOOL closeEnabled = IsWindowEnabled(GetDlgItem(live, IDCANCEL));
  return ShowTemplate(program, 129, live, milliseconds, [&](HWND copy) {
    SetDlgItemTextA(copy, 1009, status.c_str());
    SendDlgItemMessageA(copy, 1008, PBM_SETRANGE32, static_cast<WPARAM>(low), high);
    SendDlgItemMessageA(copy, 1008, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    EnableWindow(GetDlgItem(copy, IDCANCEL), closeEnabled);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "wait-main") return MainWindow() != nullptr ? 0 : Fail("no main dialog");
  if (command == "check-main") return CheckMain();
  if (command == "count-main") return CountMain();
  if (command == "rect" && argc > 2) return Rect(argv[2]);
  if (command == "about") return About();
  if (command == "close-about") return CloseAbout();
  if (command == "exit") return Exit();
  if (command == "check-log") return CheckLog();
  if (command == "show-about" && argc > 3) return ShowAbout(argv[2], static_cast<DWORD>(std::atoi(argv[3])));
  if (command == "show-progress" && argc > 3) return ShowProgress(argv[2], static_cast<DWORD>(std::atoi(argv[3])));
  if (command == "wait-rows" && argc > 2) return WaitRows(std::atoi(argv[2]));
  if (command == "check-row" && argc > 4) return CheckRow(std::atoi(argv[2]), argv[3], argv[4]);
  if (command == "open-file" && argc > 2) return OpenFile(argv[2]);
  if (command == "upgrade") return Upgrade();
  if (command == "wait-progress" && argc > 3) return WaitProgress(argv[2], std::atoi(argv[3]));
  if (command == "close-progress") return CloseProgress();
  if (command == "centred" && argc > 2) return Centred(argv[2]);
  if (command == "patch-text" && argc > 4) return PatchText(argv[2], std::atoi(argv[3]), argv[4]);
  return Fail("unknown command " + command);
}
