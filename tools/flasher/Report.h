#pragma once
// How vlmu-flash reports a failed library call: words on stderr, an object
// on stdout with --json, and the exit status for it.
#include <cstdint>
#include <vector>

#include "DeviceSnapshot.h"

namespace vlmuflash {

struct Options;

int Fail(const Options& o, const char* what, uint32_t status);
// Why no device may have been found, from the answer of the connection to
// the driver service (TakeSnapshot's serviceError). Returns the exit status
// `list` gives for it: 69 no service, 77 not admitted, 0 otherwise.
int NoDeviceHint(uint32_t serviceError = 0);

// TakeSnapshot with no scope; a failed enumeration is reported (with the
// hint) and its exit status returned.
int EnumerateOrFail(const Options& o, std::vector<DeviceEntry>& devices, uint32_t waitMs,
                    uint32_t* serviceError = nullptr);

}  // namespace vlmuflash
