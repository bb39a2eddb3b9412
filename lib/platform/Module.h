#pragma once
// The library's own module: its instance handle and its file name.
#include <cstdint>
#include <string>

namespace platform {

// Opaque handle of a loaded module (HMODULE on Windows; any address inside the
// module on Linux).
using ModuleInstance = const void*;

// The instance of the module that contains this code.
ModuleInstance ThisModule();

// Full file name of the module. Returns 0 and fills `path`, or a system error code.
uint32_t ModuleFilePath(ModuleInstance module, std::string& path);

// The system error code for a file name that does not fit its buffer.
uint32_t ErrorNameTooLong();

// True when the module was loaded with the program at start-up (linked at
// load time), false when it was loaded later on request. May throw
// std::bad_alloc.
bool LoadedWithProgram(ModuleInstance module);

// Stops the per-thread start and end notifications of the module's entry
// point where the system sends them (the Linux loader has none).
void DisableThreadNotifications(ModuleInstance module);
// True once DisableThreadNotifications has been called. The system still
// sends the notifications to a module with its own thread-local storage (as
// every MinGW-built DLL has); the entry point then drops them itself.
bool ThreadNotificationsDisabled();

}  // namespace platform
