#pragma once
// What the program sets once for the whole application, after creating its
// QApplication and before its first window: the dialogs' font for every
// widget, so that the toolkit's message boxes and file dialog match the
// dialogs; the window icon; the names under which the desktop (its entry
// com.velmora.flashtool) and the user's settings know the program.
namespace vlmqt {

inline constexpr const char* kDesktopEntryName = "com.velmora.flashtool";
inline constexpr const char* kSettingsOrganization = "Velmora";
inline constexpr const char* kSettingsApplication = "VelmoraFlashTool_x64";

void SetUpApplication();

}  // namespace vlmqt
