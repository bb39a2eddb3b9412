#pragma once
// The library's process-wide objects. They are constructed by the library's
// load-time entry (process attach) in this order: diagnostic log, setup
// function table, device set, global DfuDevice, global lock; and destroyed in
// reverse order when the library is unloaded. The accessors are valid between
// those two moments only. The log (TheDiagnosticLog, lib/log) and the setup
// function table (TheSetupFunctions, lib/device) live with their layers; the
// others belong to the exports.
#include <mutex>

class VlmuDeviceSet;
class DfuDevice;

VlmuDeviceSet& TheDeviceSet();
DfuDevice& TheDfuDevice();
// The one global lock that serialises all exports but VLMUFWDL_GetApiVersion.
std::mutex& TheGlobalLock();
