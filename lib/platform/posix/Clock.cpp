#include "platform/Clock.h"

#include <unistd.h>
#include <cerrno>
#include <ctime>

#include <pthread.h>

#include <mutex>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace platform {

uint32_t GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);  // wraps after 2^32 ms
}

void Sleep(uint32_t milliseconds) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000u);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

bool GetLocalTime(LocalTime& out) {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  const time_t seconds = now.tv_sec;
  tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return false;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  out.millisecond = static_cast<unsigned>(now.tv_nsec / 1000000L);
  return true;
}

#if defined(__linux__)
namespace {
// The kernel's id of the calling thread, asked once per thread: every log
// line carries it, and a system call per line is not free. A child process
// made by fork starts with the forking thread's cached id, so the child
// drops it and asks again.
thread_local uint64_t tThreadId = 0;
std::once_flag gForkHandlerOnce;
}  // namespace
#endif

uint64_t CurrentThreadId() {
#if defined(__linux__)
  if (tThreadId == 0) {
    std::call_once(gForkHandlerOnce, [] { ::pthread_atfork(nullptr, nullptr, [] { tThreadId = 0; }); });
    tThreadId = static_cast<uint64_t>(::syscall(SYS_gettid));
  }
  return tThreadId;
#else
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pthread_self()));
#endif
}

}  // namespace platform
