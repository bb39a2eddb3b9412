#pragma once
// The About box's text: title, version and copyright.
#include <string>

namespace vlmapp {

class CAboutDlg {
 public:
  // "%s\n\nVersion %u.%u.%u%s\n\n%s" of the window title, the program version
  // 5.22.1 with an empty suffix and the copyright notice.
  static std::string Text();
};

}  // namespace vlmapp
