#pragma once
// The library's process-wide objects. They are constructed by the library's
// load-time entry (process attach) in this order: diagnostic log, setup
// function table, device set, global DfuDevice, global lock; and destroyed in
// reverse order when the library is unloaded. The accessors are valid between
// those two moments only.
#include <mutex>

class DiagnosticLog;
class VlmuDeviceSet;
class DfuDevice;

DiagnosticLog& TheDiagnosticLog();
VlmuDeviceSet& TheDeviceSet();
DfuDevice& TheDfuDevice();
// The one global lock that serialises all exports but VLMUFWDL_GetApiVersion.
std::mutex& TheGlobalLock();
