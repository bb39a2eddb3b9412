#include "LibraryCopy.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace apitest {

LibraryCopy::LibraryCopy() { std::filesystem::copy_file(VLMU_LIBRARY_FILE, LibraryPath()); }

LibraryCopy::~LibraryCopy() {
  if (mHandle != nullptr) Unload();
}

void LibraryCopy::Load() {
  ASSERT_EQ(mHandle, nullptr);
  mHandle = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(mHandle, nullptr) << dlerror();
}

void LibraryCopy::Unload() {
  ASSERT_NE(mHandle, nullptr);
  EXPECT_EQ(dlclose(mHandle), 0) << dlerror();
  mHandle = nullptr;
}

void* LibraryCopy::Symbol(const char* name) {
  void* symbol = mHandle != nullptr ? dlsym(mHandle, name) : nullptr;
  if (symbol == nullptr) ADD_FAILURE() << "symbol " << name << " not found";
  return symbol;
}

uint32_t LibraryCopy::GetApiVersion() {
  auto* function = reinterpret_cast<uint32_t (*)()>(Symbol("VLMUFWDL_GetApiVersion"));
  return function != nullptr ? function() : 0xFFFFFFFFu;
}

uint32_t LibraryCopy::EnableLogging(const char* logFileName) {
  auto* function = reinterpret_cast<uint32_t (*)(const char*)>(Symbol("VLMUFWDL_EnableLogging"));
  return function != nullptr ? function(logFileName) : 0xFFFFFFFFu;
}

uint32_t LibraryCopy::CloseDevice() {
  auto* function = reinterpret_cast<uint32_t (*)()>(Symbol("VLMUFWDL_CloseDevice"));
  return function != nullptr ? function() : 0xFFFFFFFFu;
}

}  // namespace apitest
