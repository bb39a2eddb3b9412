#pragma once
// How vlmu-flash reports a failed library call: words on stderr, an object
// on stdout with --json, and the exit status for it.
#include <cstdint>
#include <vector>

#include "DeviceSnapshot.h"

namespace vlmuflash {

struct Options;

int Fail(const Options& o, const char* what, uint32_t status);
void NoDeviceHint();

// TakeSnapshot with no scope; a failed enumeration is reported (with the
// hint) and its exit status returned.
int EnumerateOrFail(const Options& o, std::vector<DeviceEntry>& devices, uint32_t waitMs, bool* serviceDown = nullptr);

}  // namespace vlmuflash
