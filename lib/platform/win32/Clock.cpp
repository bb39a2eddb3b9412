#include <windows.h>

#include "platform/Clock.h"

namespace platform {

uint32_t GetTickCount() { return ::GetTickCount(); }

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

bool GetLocalTime(LocalTime& out) {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  out.hour = now.wHour;
  out.minute = now.wMinute;
  out.second = now.wSecond;
  out.millisecond = now.wMilliseconds;
  return true;
}

uint64_t CurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace platform
