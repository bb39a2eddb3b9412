#pragma once
#include <cstdint>

// Result codes of the device access layer (besides system error codes).
inline constexpr uint32_t VLMU_E_FAILED = 0xE0000001;               // setup library / GUID text / wait failed
inline constexpr uint32_t VLMU_E_OUT_OF_MEMORY = 0xE0000002;        // detail record cannot be allocated
inline constexpr uint32_t VLMU_E_TIMEOUT = 0xE0000005;              // re-plug or reopen not done in time
inline constexpr uint32_t VLMU_E_NO_MORE_DEVICES = 0xE0000007;      // index beyond the interfaces of the set
inline constexpr uint32_t VLMU_E_NOT_TRACKING = 0xE0000012;         // re-plug wait without tracking
inline constexpr uint32_t VLMU_E_DEVICE_NOT_OPEN = 0xE0000013;      // request on a closed device
inline constexpr uint32_t VLMU_E_NULL_TEXT = 0xE0000015;            // GUID text is null
inline constexpr uint32_t VLMU_E_ALREADY_OPEN = 0xE0000020;         // open while open
inline constexpr uint32_t VLMU_E_ALREADY_TRACKING = 0xE0000021;     // tracking events exist
inline constexpr uint32_t VLMU_E_NO_GUID = 0xE0000030;              // device information set without GUID
inline constexpr uint32_t VLMU_E_BAD_DESCRIPTOR_SIZE = 0xE0000037;  // device descriptor not 18 bytes
inline constexpr uint32_t VLMU_E_PATH_NOT_FOUND = 0xE0000040;       // interface path does not exist
