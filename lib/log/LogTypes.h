#pragma once
#include <cstdint>

// Entry types of the diagnostic log; each is one bit of the enabled-types mask.
enum LogType : uint32_t {
  LOG_ERROR = 0x01,
  LOG_WARNING = 0x02,
  LOG_INFO = 0x04,
  LOG_DATA = 0x08,
  LOG_API_ENTRY = 0x10,   // "API ->"
  LOG_API_RETURN = 0x20,  // "API <-"
};

#if defined(__MINGW32__)
// MinGW's C++ library formats with its own ISO C printf (%zu, %lld, %hhu),
// not with the system's; the format checks must follow that one.
#define VLMU_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(gnu_printf, fmtIndex, firstArg)))
#elif defined(__GNUC__) || defined(__clang__)
#define VLMU_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define VLMU_PRINTF_FORMAT(fmtIndex, firstArg)
#endif
