#pragma once
// Reads input files of the tools: only regular files (a FIFO or a device
// would block or never end), whole, in large pieces.
#include <cstdint>
#include <string>

namespace vlmutool {

// Reads the whole file at `path` into `out`. False with `error` (a short
// reason) when it cannot be opened or read, is not a regular file, or is
// larger than `maxSize` bytes.
bool ReadRegularFile(const std::string& path, std::string& out, std::string& error, uint64_t maxSize = UINT64_MAX);

}  // namespace vlmutool
