// INI files through the system's private-profile functions.
#include <windows.h>

#include <vector>

#include "platform/PrivateProfile.h"

namespace platform {

std::string ReadProfileValue(const char* section, const char* key, const char* defaultValue, const char* fileName) {
  const char* fallback = defaultValue != nullptr ? defaultValue : "";
  if (section == nullptr || key == nullptr || fileName == nullptr) return fallback;
  // The function cuts a value that does not fit and then reports size - 1.
  for (DWORD size = 256; size <= 65536; size *= 4) {
    std::vector<char> buffer(size, '\0');
    const DWORD length = GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, fileName);
    if (length < size - 1) return std::string(buffer.data(), length);
  }
  return fallback;
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* fileName) {
  if (section == nullptr || key == nullptr || value == nullptr || fileName == nullptr) return false;
  return WritePrivateProfileStringA(section, key, value, fileName) != FALSE;
}

}  // namespace platform
