#include <windows.h>

#include <atomic>
#include <vector>

#include "platform/Module.h"

// The image base of the module this code is linked into (the DLL, or a test
// program that links the library's objects).
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace platform {

ModuleInstance ThisModule() { return &__ImageBase; }

uint32_t ErrorNameTooLong() { return ERROR_FILENAME_EXCED_RANGE; }

uint32_t ModuleFilePath(ModuleInstance module, std::string& path) {
  path.clear();
  if (module == nullptr) return ERROR_MOD_NOT_FOUND;
  // Long paths: grow the buffer while the name is cut.
  for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
    std::vector<char> buffer(size, '\0');
    SetLastError(0);
    const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(const_cast<void*>(module)), buffer.data(), size);
    if (length == 0) return GetLastError() != 0 ? GetLastError() : ERROR_MOD_NOT_FOUND;
    if (length < size) {
      path.assign(buffer.data(), length);
      return 0;
    }
  }
  return ERROR_FILENAME_EXCED_RANGE;
}

namespace {
std::atomic<bool> gThreadNotificationsDisabled{false};
}  // namespace

void DisableThreadNotifications(ModuleInstance module) {
  // Fails for a DLL with a TLS directory; the flag covers that case.
  if (module != nullptr) DisableThreadLibraryCalls(static_cast<HMODULE>(const_cast<void*>(module)));
  gThreadNotificationsDisabled = true;
}

bool ThreadNotificationsDisabled() { return gThreadNotificationsDisabled; }

}  // namespace platform
