#include "StatusText.h"

#include <cstdio>
#include <cstring>

#include "vlmufwdl.h"

namespace vlmutool {

const char* StatusText(uint32_t status) { return VLMUFWDL_StatusText(status); }

bool IsKnownStatus(uint32_t status) { return std::strcmp(VLMUFWDL_StatusName(status), "VLMUFWDL_STATUS_UNKNOWN") != 0; }

std::string DescribeStatus(uint32_t status) {
  char code[32];
  std::snprintf(code, sizeof code, " (status 0x%02X)", status);
  return std::string(StatusText(status)) + code;
}

}  // namespace vlmutool
