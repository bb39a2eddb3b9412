#include "CAboutDlg.h"

#include "AppVersion.h"
#include "StringTable.h"
#include "TextFormat.h"

namespace vlmapp {

std::string CAboutDlg::Text() {
  return FormatText("%s\n\nVersion %u.%u.%u%s\n\n%s",
                    {LoadText(IDS_WINDOW_TITLE), uint32_t{VLMAPP_VERSION_MAJOR}, uint32_t{VLMAPP_VERSION_MINOR},
                     uint32_t{VLMAPP_VERSION_PATCH}, "", VLMAPP_COPYRIGHT});
}

}  // namespace vlmapp
