#pragma once
// File attribute look-up and the few whole-file operations of the diagnostic
// log: exists, delete, rename and a test whether the first byte can be read.
#include <cstdint>
#include <cstdio>

namespace platform {

struct FileAttributes {
  uint64_t size = 0;
  bool isDirectory = false;
  bool readOnly = false;  // no write permission at all (the read-only attribute)
};

// Looks up the attributes of `path`. Returns false when the file cannot be
// examined (missing, no access, bad name).
bool QueryFileAttributes(const char* path, FileAttributes& out);

bool FileExists(const char* path);

// Deletes a file. Like the system's read-only attribute, a file without any
// write permission is not deleted. Returns false on failure.
bool RemoveFile(const char* path);

// Renames `from` to `to`; fails when `to` exists. Returns false on failure.
bool RenameFile(const char* from, const char* to);

// Opens `path` as a stdio stream in `mode` ("rb", "wb" or "a+"; the last two
// create a missing file) only when it is a regular file. A FIFO, a device or a
// directory is refused, and without waiting: opening or using one of those can
// block without end (a FIFO without a peer) or never reach an end. Returns
// null on failure; the caller closes the stream.
FILE* OpenRegularFile(const char* path, const char* mode);

enum class FirstByte {
  Readable,    // the file holds at least one byte
  Empty,       // the file exists and is empty
  CannotOpen,  // the file cannot be opened or read, or is no regular file (OpenRegularFile)
};
FirstByte ReadFirstByte(const char* path);

}  // namespace platform
