// The DLL's entry point: hands every loader notification to the library's
// own entry. For process attach the loader's reserved argument is non-null
// when the DLL was linked at load time and null for LoadLibrary.
#include <windows.h>

#include "api/LibraryEntry.h"
#include "platform/Module.h"

static_assert(DLL_PROCESS_ATTACH == kLibraryProcessAttach && DLL_PROCESS_DETACH == kLibraryProcessDetach &&
                  DLL_THREAD_ATTACH == kLibraryThreadAttach && DLL_THREAD_DETACH == kLibraryThreadDetach,
              "reason codes");

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  // Thread notifications that the loader still sends after the library
  // switched them off (a DLL with thread-local storage cannot) are dropped.
  const bool threadReason = reason == DLL_THREAD_ATTACH || reason == DLL_THREAD_DETACH;
  if (threadReason && platform::ThreadNotificationsDisabled()) return TRUE;
  LibraryEntry(instance, reason, reserved);
  return TRUE;  // the entry always reports success
}
