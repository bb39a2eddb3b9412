/* Loads velmora_dfu_x64.dll and exits with 0 when its API version is
   0x00010001. Built twice:
     wine_static_load_probe   (VLMU_PROBE_STATIC) - the DLL linked at load time
     wine_dynamic_load_probe <path>               - LoadLibraryA, GetProcAddress
   Either way a thread is started and ended while the DLL is loaded. */
#include <windows.h>

#include "vlmufwdl.h"

static DWORD WINAPI Idle(LPVOID unused) {
  (void)unused;
  return 0;
}

static int RunThread(void) {
  HANDLE thread = CreateThread(NULL, 0, Idle, NULL, 0, NULL);
  if (thread == NULL) return 0;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return 1;
}

int main(int argc, char** argv) {
#ifdef VLMU_PROBE_STATIC
  (void)argc;
  (void)argv;
  if (!RunThread()) return 3;
  return VLMUFWDL_GetApiVersion() == 0x00010001u ? 0 : 1;
#else
  if (argc >= 2) {
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == NULL) return 2;
    typedef uint32_t (*GetApiVersionFn)(void);
    GetApiVersionFn getApiVersion = (GetApiVersionFn)(void (*)(void))GetProcAddress(library, "VLMUFWDL_GetApiVersion");
    const int ok = getApiVersion != NULL && getApiVersion() == 0x00010001u && RunThread();
    if (!FreeLibrary(library)) return 4;
    return ok ? 0 : 1;
  }
  return 5;
#endif
}
