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

// bStatus of DFU_GETSTATUS: the device's result of the last request.
enum DFU_STATUS_CODE : uint8_t {
  OK = 0x00,
  errTARGET = 0x01,
  errFILE = 0x02,
  errWRITE = 0x03,
  errERASE = 0x04,
  errCHECK_ERASED = 0x05,
  errPROG = 0x06,
  errVERIFY = 0x07,
  errADDRESS = 0x08,
  errNOTDONE = 0x09,
  errFIRMWARE = 0x0A,
  errVENDOR = 0x0B,
  errUSBR = 0x0C,
  errPOR = 0x0D,
  errUNKNOWN = 0x0E,
  errSTALLEDPKT = 0x0F,
};

// The 6-byte reply of DFU_GETSTATUS, read field by field (little-endian).
struct DfuStatus {
  static constexpr uint32_t kReplySize = 6;

  uint8_t bStatus = OK;        // DFU_STATUS_CODE of the last request
  uint32_t bwPollTimeout = 0;  // ms to wait before the next DFU_GETSTATUS (24 bits)
  uint8_t bState = appIDLE;    // DFU_STATE the device is in
  uint8_t iString = 0;         // index of a status description string

  static constexpr DfuStatus FromReply(const uint8_t (&reply)[kReplySize]) {
    DfuStatus status;
    status.bStatus = reply[0];
    status.bwPollTimeout = static_cast<uint32_t>(reply[1]) | (static_cast<uint32_t>(reply[2]) << 8) |
                           (static_cast<uint32_t>(reply[3]) << 16);
    status.bState = reply[4];
    status.iString = reply[5];
    return status;
  }
};

// Log name of a state; "unknown DFU_STATE" outside 0..10.
const char* DfuStateName(int state);

// bmAttributes bits of the DFU functional descriptor.
inline constexpr uint8_t DFU_DESC_bitCanDownload = 0x01;
inline constexpr uint8_t DFU_DESC_bitCanUpload = 0x02;
inline constexpr uint8_t DFU_DESC_bitManifestationTolerant = 0x04;
inline constexpr uint8_t DFU_DESC_bitWillDetach = 0x08;

// Request codes: the DFU 1.1 class requests (the engine sends DFU_DNLOAD,
// DFU_GETSTATUS and DFU_CLRSTATUS; the simulated devices answer all of them),
// then the vendor requests of this device family.
inline constexpr uint8_t DFU_DETACH = 0;
inline constexpr uint8_t DFU_DNLOAD = 1;
inline constexpr uint8_t DFU_UPLOAD = 2;
inline constexpr uint8_t DFU_GETSTATUS = 3;
inline constexpr uint8_t DFU_CLRSTATUS = 4;
inline constexpr uint8_t DFU_GETSTATE = 5;
inline constexpr uint8_t DFU_ABORT = 6;
inline constexpr uint8_t VENDOR_DFU_DETACH = 0x80;
inline constexpr uint8_t VENDOR_SET_SERIAL_NUMBER = 0x83;
inline constexpr uint8_t VENDOR_GET_SERIAL_NUMBER = 0x84;
