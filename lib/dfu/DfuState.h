#pragma once
#include <cstdint>

// Device states of USB DFU 1.1, as reported in bState of DFU_GETSTATUS.
enum DFU_STATE : uint8_t {
  appIDLE = 0,
  appDETACH = 1,
  dfuIDLE = 2,
  dfuDNLOAD_SYNC = 3,
  dfuDNBUSY = 4,
  dfuDNLOAD_IDLE = 5,
  dfuMANIFEST_SYNC = 6,
  dfuMANIFEST = 7,
  dfuMANIFEST_WAIT_RESET = 8,
  dfuUPLOAD_IDLE = 9,
  dfuERROR = 10,
};

// Log name of a state; "unknown DFU_STATE" outside 0..10.
const char* DfuStateName(int state);

// bmAttributes bits of the DFU functional descriptor.
inline constexpr uint8_t DFU_DESC_bitCanDownload = 0x01;
inline constexpr uint8_t DFU_DESC_bitCanUpload = 0x02;
inline constexpr uint8_t DFU_DESC_bitManifestationTolerant = 0x04;
inline constexpr uint8_t DFU_DESC_bitWillDetach = 0x08;

// Request codes.
inline constexpr uint8_t DFU_DNLOAD = 1;
inline constexpr uint8_t DFU_GETSTATUS = 3;
inline constexpr uint8_t DFU_CLRSTATUS = 4;
inline constexpr uint8_t VENDOR_DFU_DETACH = 0x80;
inline constexpr uint8_t VENDOR_SET_SERIAL_NUMBER = 0x83;
inline constexpr uint8_t VENDOR_GET_SERIAL_NUMBER = 0x84;
