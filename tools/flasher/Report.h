#pragma once
// How vlmu-flash reports a failed library call: words on stderr, an object
// on stdout with --json, and the exit status for it.
#include <cstdint>

namespace vlmuflash {

struct Options;

int Fail(const Options& o, const char* what, uint32_t status);
void NoDeviceHint();

}  // namespace vlmuflash
