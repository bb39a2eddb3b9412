// The program's texts on Windows: read from the string table resource of
// the program file by id, as a Windows program does, so that the resource
// script (VelmoraFlashTool.rc) is what a person sees.
#include <windows.h>

#include "StringTable.h"

namespace vlmapp {

std::string LoadText(uint32_t id) {
  char text[1024];  // the longest text has about a hundred characters
  const int length = LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
  return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

}  // namespace vlmapp
