#pragma once
// File attribute look-up and the few whole-file operations of the diagnostic
// log: exists, delete, rename and a test whether the first byte can be read.
#include <cstdint>

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

enum class FirstByte {
  Readable,    // the file holds at least one byte
  Empty,       // the file exists and is empty
  CannotOpen,  // the file cannot be opened or read (e.g. a directory)
};
FirstByte ReadFirstByte(const char* path);

}  // namespace platform
