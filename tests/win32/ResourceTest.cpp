// The program's resource script as Windows reads it, under Wine: the three
// dialog templates created from it (control ids, kinds, texts, styles and
// positions in dialog units), the string table against the program's own
// texts, icon 128, the version resource and the manifest.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "StringTable.h"
#include "resource.h"

namespace {

HINSTANCE Self() { return GetModuleHandleA(nullptr); }

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

struct ControlSpec {
  int id;            // IDC_STATIC (-1) for labels and frames
  const char* kind;  // window class
  const char* text;
  int x, y, w, h;   // dialog units
  DWORD required;   // style bits that must be set
  DWORD forbidden;  // style bits that must be clear
  int border = -1;  // 1: a border, 0: none, -1: not stated
};

struct DialogSpec {
  int templateId;
  const char* caption;
  int w, h;
  DWORD required, forbidden;
  std::vector<ControlSpec> controls;  // in template order
};

const DWORD kReadOnlyNoBorder = ES_READONLY;
const DialogSpec kDialogs[] = {
    {IDD_ABOUTBOX,
     "About",
     228,
     60,
     WS_CAPTION | WS_SYSMENU,
     WS_MINIMIZEBOX | WS_THICKFRAME,
     {
         {IDC_STATIC, "Static", "", 181, 11, -1, -1, SS_ICON, 0},
         {IDC_STATIC_ABOUT, "Static", "", 7, 10, 149, 41, SS_CENTER, 0},
         {IDOK, "Button", "OK", 166, 37, 50, 14, BS_DEFPUSHBUTTON, 0},
     }},
    {IDD_VLMFWUPGRADE_DIALOG,
     "Velmora USB Firmware Upgrade",
     453,
     214,
     WS_CAPTION | WS_SYSMENU,
     WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME,
     {
         {IDC_STATIC, "Static", "Available devices", 18, 16, 140, 8, 0, 0},
         {IDC_LIST_DEVICES, "SysListView32", "", 18, 29, 416, 40,
          LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOLABELWRAP | WS_TABSTOP, 0, 1},
         {IDC_STATIC, "Static", "VLD file", 18, 76, 26, 8, 0, 0},
         {IDC_EDIT_VLD_FILE, "Edit", "", 18, 89, 357, 14, ES_READONLY | ES_AUTOHSCROLL, 0, 1},
         {IDC_BUTTON_OPEN, "Button", "Open", 384, 89, 50, 14, 0, BS_DEFPUSHBUTTON},
         {IDC_STATIC, "Button", "VLD file details", 18, 111, 416, 65, BS_GROUPBOX, 0},
         {IDC_STATIC, "Static", "Vendor ID:", 24, 124, 35, 8, 0, 0},
         {IDC_EDIT_VENDOR_ID, "Edit", "", 129, 124, 81, 12, kReadOnlyNoBorder, 0, 0},
         {IDC_STATIC, "Static", "HwID:", 231, 124, 21, 8, 0, 0},
         {IDC_EDIT_HW_ID, "Edit", "", 336, 124, 81, 12, kReadOnlyNoBorder, 0, 0},
         {IDC_STATIC, "Static", "Software Date/Time:", 24, 136, 67, 8, 0, 0},
         {IDC_EDIT_SW_DATE_TIME, "Edit", "", 129, 136, 81, 12, kReadOnlyNoBorder, 0, 0},
         {IDC_STATIC, "Static", "Software Version:", 231, 136, 78, 8, 0, 0},
         {IDC_EDIT_SW_VERSION, "Edit", "", 336, 136, 81, 12, kReadOnlyNoBorder, 0, 0},
         {IDC_STATIC, "Static", "Model ID:", 24, 148, 57, 8, 0, 0},
         {IDC_EDIT_MODEL_ID, "Edit", "", 129, 148, 81, 12, kReadOnlyNoBorder, 0, 0},
         {IDC_STATIC, "Static", "Info Text:", 24, 161, 68, 8, 0, 0},
         {IDC_EDIT_INFO_TEXT, "Edit", "", 129, 161, 296, 12, kReadOnlyNoBorder, 0, 0},
         {IDOK, "Button", "Upgrade Firmware", 147, 188, 75, 14, BS_DEFPUSHBUTTON, 0},
         {IDCANCEL, "Button", "Exit", 231, 188, 75, 14, 0, BS_DEFPUSHBUTTON},
     }},
    {IDD_DOWNLOAD_PROGRESS,
     "Download progress",
     295,
     46,
     WS_CAPTION,
     WS_SYSMENU | WS_MINIMIZEBOX,
     {
         {IDC_STATIC_STATUS, "Static", "Status...", 14, 8, 267, 8, 0, 0},
         // The progress control takes WS_BORDER off and draws its own frame.
         {IDC_PROGRESS_DOWNLOAD, "msctls_progress32", "", 14, 20, 208, 14, PBS_SMOOTH, 0, -1},
         {IDCANCEL, "Button", "Close", 231, 20, 50, 14, BS_DEFPUSHBUTTON | WS_DISABLED, 0},
     }},
};

std::string WindowText(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

class DialogTemplate : public ::testing::TestWithParam<DialogSpec> {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
  }
};

TEST_P(DialogTemplate, ControlsAsTheTemplateStatesThem) {
  const DialogSpec& spec = GetParam();
  HWND dialog = CreateDialogParamA(Self(), MAKEINTRESOURCEA(spec.templateId), nullptr, &PlainDialogProc, 0);
  ASSERT_NE(dialog, nullptr) << spec.templateId;
  EXPECT_EQ(WindowText(dialog), spec.caption);
  const DWORD style = static_cast<DWORD>(GetWindowLongA(dialog, GWL_STYLE));
  EXPECT_EQ(style & spec.required, spec.required) << std::hex << style;
  EXPECT_EQ(style & spec.forbidden, 0u) << std::hex << style;

  // The font of the template.
  LOGFONTA font{};
  ASSERT_NE(GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)), sizeof font, &font), 0);
  EXPECT_STREQ(font.lfFaceName, "MS Sans Serif");

  RECT size{0, 0, spec.w, spec.h};
  ASSERT_TRUE(MapDialogRect(dialog, &size));
  RECT client;
  GetClientRect(dialog, &client);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);

  size_t index = 0;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT), ++index) {
    ASSERT_LT(index, spec.controls.size()) << "extra control " << ClassOf(child);
    const ControlSpec& c = spec.controls[index];
    SCOPED_TRACE(std::string(c.kind) + " \"" + c.text + "\" #" + std::to_string(index));
    EXPECT_EQ(GetDlgCtrlID(child), c.id);
    EXPECT_EQ(ClassOf(child), c.kind);
    if (std::strcmp(c.kind, "Static") != 0 || (GetWindowLongA(child, GWL_STYLE) & SS_ICON) == 0) {
      EXPECT_EQ(WindowText(child), c.text);
    }
    const DWORD childStyle = static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE));
    EXPECT_EQ(childStyle & c.required, c.required) << std::hex << childStyle;
    EXPECT_EQ(childStyle & c.forbidden, 0u) << std::hex << childStyle;
    if (c.border >= 0) {
      // The dialog manager draws a control's WS_BORDER as a sunken client edge.
      const DWORD exStyle = static_cast<DWORD>(GetWindowLongA(child, GWL_EXSTYLE));
      const bool bordered = (childStyle & WS_BORDER) != 0 || (exStyle & WS_EX_CLIENTEDGE) != 0;
      EXPECT_EQ(bordered, c.border == 1) << std::hex << childStyle << " " << exStyle;
    }
    // Position and size are converted separately, as the dialog manager does.
    RECT origin{c.x, c.y, c.w < 0 ? 0 : c.w, c.h < 0 ? 0 : c.h};
    MapDialogRect(dialog, &origin);
    const RECT expected{origin.left, origin.top, origin.left + origin.right, origin.top + origin.bottom};
    RECT actual;
    GetWindowRect(child, &actual);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
    if (c.w >= 0) {  // an icon control takes the icon's size
      EXPECT_EQ(actual.right, expected.right);
      EXPECT_EQ(actual.bottom, expected.bottom);
    }
  }
  EXPECT_EQ(index, spec.controls.size());
  DestroyWindow(dialog);
}

INSTANTIATE_TEST_SUITE_P(Templates, DialogTemplate, ::testing::ValuesIn(kDialogs),
                         [](const ::testing::TestParamInfo<DialogSpec>& param) {
                           return "Template" + std::to_string(param.param.templateId);
                         });

TEST(StringTableResource, EveryTextEqualsTheProgramsOwn) {
  const uint32_t ids[] = {101, 102, 134, 135, 136, 137, 139, 140, 141, 142, 143, 144, 145, 146, 147, 149, 152, 156};
  for (uint32_t id : ids) {
    char text[512] = {};
    const int length = LoadStringA(Self(), id, text, sizeof text);
    EXPECT_GT(length, 0) << id;
    EXPECT_EQ(std::string(text, static_cast<size_t>(length)), vlmapp::BuiltInText(id)) << id;
  }
  char text[16] = {};
  EXPECT_EQ(LoadStringA(Self(), 150, text, sizeof text), 0);
}

#pragma pack(push, 2)
struct IconDirEntry {
  BYTE width, height, colorCount, reserved;
  WORD planes, bitCount;
  DWORD bytesInRes;
  WORD id;
};
struct IconDir {
  WORD reserved, type, count;
  IconDirEntry entries[1];
};
#pragma pack(pop)

TEST(IconResource, Icon128HasA32And16PixelImageOf16Colours) {
  HRSRC resource = FindResourceA(Self(), MAKEINTRESOURCEA(IDR_MAINFRAME), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
  ASSERT_NE(resource, nullptr);
  const auto* group = static_cast<const IconDir*>(LockResource(LoadResource(Self(), resource)));
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group->count, 2);
  std::vector<int> sizes;
  for (int i = 0; i < group->count; ++i) {
    sizes.push_back(group->entries[i].width);
    EXPECT_EQ(group->entries[i].width, group->entries[i].height);
    EXPECT_EQ(group->entries[i].colorCount, 16);
    EXPECT_EQ(group->entries[i].bitCount, 4);
  }
  EXPECT_EQ(sizes, (std::vector<int>{32, 16}));
  for (int edge : {32, 16}) {
    HICON icon = static_cast<HICON>(LoadImageA(Self(), MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, edge, edge, 0));
    EXPECT_NE(icon, nullptr) << edge;
    if (icon != nullptr) DestroyIcon(icon);
  }
}

TEST(VersionResource, FileAndProductVersionAndDescription) {
  HRSRC resource = FindResourceA(Self(), MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16));  // RT_VERSION
  ASSERT_NE(resource, nullptr);
  const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(Self(), resource)));
  const DWORD size = SizeofResource(Self(), resource);
  ASSERT_GT(size, sizeof(VS_FIXEDFILEINFO));
  // The fixed part follows the UTF-16 key "VS_VERSION_INFO" on a 4-byte boundary.
  VS_FIXEDFILEINFO fixed{};
  const DWORD signature = 0xFEEF04BD;
  const BYTE* at = nullptr;
  for (DWORD i = 0; i + sizeof fixed <= size; i += 4) {
    if (std::memcmp(data + i, &signature, sizeof signature) == 0) {
      at = data + i;
      break;
    }
  }
  ASSERT_NE(at, nullptr);
  std::memcpy(&fixed, at, sizeof fixed);
  EXPECT_EQ(fixed.dwFileVersionMS, (5u << 16) | 22u);
  EXPECT_EQ(fixed.dwFileVersionLS, (1u << 16) | 0u);
  EXPECT_EQ(fixed.dwProductVersionMS, (5u << 16) | 22u);
  EXPECT_EQ(fixed.dwProductVersionLS, (1u << 16) | 0u);
  const std::u16string description = u"Velmora USB Firmware Upgrade Application";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  EXPECT_NE(bytes.find(std::string(reinterpret_cast<const char*>(description.data()), description.size() * 2)),
            std::string::npos);
}

TEST(ManifestResource, CommonControls6AndTheUsersOwnRights) {
  HRSRC resource = FindResourceA(Self(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  ASSERT_NE(resource, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(Self(), resource))),
                             SizeofResource(Self(), resource));
  EXPECT_NE(manifest.find(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
}

}  // namespace
