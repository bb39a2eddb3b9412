#pragma once
// The library's load-time entry, independent of the system: the system's own
// entry point (the constructor and destructor functions of the shared object
// on Linux, DllMain on Windows) calls LibraryEntry with the reason code.
#include <cstdint>

#include "platform/Module.h"

enum LibraryEntryReason : uint32_t {
  kLibraryProcessDetach = 0,
  kLibraryProcessAttach = 1,
  kLibraryThreadAttach = 2,
  kLibraryThreadDetach = 3,
};

// `reserved` is non-null when the library was linked at load time ("static")
// and null when it was loaded on request ("dynamic"). Always returns true.
bool LibraryEntry(platform::ModuleInstance instance, uint32_t reason, const void* reserved) noexcept;

// Constructs the process-wide objects in their order (see LibraryGlobals.h)
// and destroys them in reverse order. Used by LibraryEntry only.
void ConstructLibraryGlobals();
void DestroyLibraryGlobals() noexcept;
