// The shared object's load and unload functions: the Linux counterpart of a
// loader entry point with reason codes. They call the library's own entry.
#include "api/LibraryEntry.h"
#include "platform/Module.h"

namespace {

// Priority 101: before any other load-time initialisation of this module and,
// for the unload function, after all others.
__attribute__((constructor(101))) void OnModuleLoad() {
  static const int loadTimeMarker = 0;
  const platform::ModuleInstance self = platform::ThisModule();
  bool atStartup = false;
  try {
    atStartup = platform::LoadedWithProgram(self);
  } catch (...) {
  }
  LibraryEntry(self, kLibraryProcessAttach, atStartup ? &loadTimeMarker : nullptr);
}

__attribute__((destructor(101))) void OnModuleUnload() {
  LibraryEntry(platform::ThisModule(), kLibraryProcessDetach, nullptr);
}

}  // namespace
