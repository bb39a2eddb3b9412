#include <cstdlib>

#include "device/DeviceLogCapture.h"

namespace devicetest {

NoServiceEnvironment::NoServiceEnvironment() {
  const char* old = std::getenv("VLMU_DRIVER_SOCKET");
  mHadValue = old != nullptr;
  if (old != nullptr) mSaved = old;
  setenv("VLMU_DRIVER_SOCKET", mDir.File("no-service.sock").c_str(), 1);
}

NoServiceEnvironment::~NoServiceEnvironment() {
  if (mHadValue) {
    setenv("VLMU_DRIVER_SOCKET", mSaved.c_str(), 1);
  } else {
    unsetenv("VLMU_DRIVER_SOCKET");
  }
}

}  // namespace devicetest
