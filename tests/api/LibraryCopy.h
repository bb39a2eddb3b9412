#pragma once
// A private copy of the shared library in a temporary folder, loaded on
// request. The library reads its configuration file beside the loaded file,
// so each test controls that file through the copy's folder.
#include <cstdint>
#include <string>

#include "support/TempDir.h"

namespace apitest {

class LibraryCopy {
 public:
  LibraryCopy();
  ~LibraryCopy();
  LibraryCopy(const LibraryCopy&) = delete;
  LibraryCopy& operator=(const LibraryCopy&) = delete;

  const testsupport::TempDir& Dir() const { return mDir; }
  std::string LibraryPath() const { return mDir.File("libvelmora_dfu_x64.so"); }
  std::string CfgPath() const { return mDir.File("libvelmora_dfu_x64.cfg"); }
  std::string File(const std::string& name) const { return mDir.File(name); }

  void Load();    // dlopen; fails the test when the library does not load
  void Unload();  // dlclose
  bool Loaded() const { return mHandle != nullptr; }

  uint32_t GetApiVersion();
  uint32_t EnableLogging(const char* logFileName);
  uint32_t CloseDevice();

 private:
  void* Symbol(const char* name);

  testsupport::TempDir mDir;
  void* mHandle = nullptr;
};

}  // namespace apitest
