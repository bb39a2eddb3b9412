#pragma once
// Tick count, sleep, local time and thread identity.
#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start; wraps after 2^32 ms like GetTickCount.
uint32_t GetTickCount();
void Sleep(uint32_t milliseconds);

struct LocalTime {
  int hour, minute, second;
  unsigned millisecond;
};
// Returns false when the local time cannot be computed.
bool GetLocalTime(LocalTime& out);

uint64_t CurrentThreadId();

}  // namespace platform
