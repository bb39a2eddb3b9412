#include <windows.h>

#include <io.h>

#include <cstdio>

#include "platform/FileSystem.h"

namespace platform {

bool QueryFileAttributes(const char* path, FileAttributes& out) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path == nullptr || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
  out.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out.readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return true;
}

bool FileExists(const char* path) { return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool RemoveFile(const char* path) { return path != nullptr && DeleteFileA(path) != FALSE; }

bool RenameFile(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the rename fails when `to` exists.
  return from != nullptr && to != nullptr && MoveFileA(from, to) != FALSE;
}

FILE* OpenRegularFile(const char* path, const char* mode) {
  FILE* file = path != nullptr && mode != nullptr ? std::fopen(path, mode) : nullptr;
  // A named pipe or a device (CON, NUL, COM1) opens like a file; only a disk file is kept.
  if (file != nullptr && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

FirstByte ReadFirstByte(const char* path) {
  FILE* file = OpenRegularFile(path, "rb");
  if (file == nullptr) return FirstByte::CannotOpen;
  const int c = std::fgetc(file);
  const bool failed = c == EOF && std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return FirstByte::CannotOpen;
  return c == EOF ? FirstByte::Empty : FirstByte::Readable;
}

}  // namespace platform
