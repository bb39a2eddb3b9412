#pragma once
// Where the Wine fixture's relay listens: the harness writes its port and
// token into the registry of the Wine prefix, the test bus driver and the
// tests under Wine read them from there. For user-mode translation units.
#include <windows.h>

namespace testbus {

// Under HKEY_LOCAL_MACHINE: REG_DWORD "RelayPort", REG_SZ "RelayToken".
inline constexpr const char* kParametersKey = "System\\CurrentControlSet\\Services\\vlmutestbus\\Parameters";

// True with both values present and the port usable.
inline bool ReadRelaySettings(DWORD& port, char (&token)[64]) {
  DWORD size = sizeof port;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kParametersKey, "RelayPort", RRF_RT_REG_DWORD, nullptr, &port, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  size = sizeof token;
  return RegGetValueA(HKEY_LOCAL_MACHINE, kParametersKey, "RelayToken", RRF_RT_REG_SZ, nullptr, token, &size) ==
             ERROR_SUCCESS &&
         port != 0 && port <= 0xFFFF;
}

}  // namespace testbus
