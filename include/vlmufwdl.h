/*
 * vlmufwdl.h - flat C interface of the Velmora USB audio firmware download
 * library (velmora_dfu_x64). Overview and an example program: docs/api.md.
 *
 * Every export returns an unsigned 32-bit status (VLMUFWDL_STATUS, 0 = success).
 * Strings are 8-bit and NUL-terminated. Records cross the boundary by pointer
 * and belong to the caller; the library copies what it keeps and hands no
 * memory to the caller.
 *
 * Threads: every export except VLMUFWDL_GetApiVersion runs under one global
 * lock, held for the whole call (device I/O and the mode switches of the
 * serial-number calls included), so exports called from several threads run
 * one after the other. A download runs on a worker thread of the library
 * after VLMUFWDL_StartDownload has returned.
 *
 * The library is in one of three states: no device open; a device open and
 * idle; a device open with a download in progress (from a successful
 * VLMUFWDL_StartDownload until its worker has ended). During a download only
 * VLMUFWDL_GetApiVersion, VLMUFWDL_GetVldFileInfo, VLMUFWDL_EnumerateDevices,
 * VLMUFWDL_GetDeviceInfo and VLMUFWDL_GetDownloadStatus do their work;
 * VLMUFWDL_OpenDevice answers 16 and the others 35. One process runs at most
 * one download: a program that upgrades several devices at once runs one
 * process per device.
 *
 * An export that fails its argument checks changes nothing. Every export
 * except VLMUFWDL_GetApiVersion and VLMUFWDL_GetDownloadStatus writes an
 * entry on entry and one on return to the diagnostic log when it is on.
 */
#ifndef VLMUFWDL_H
#define VLMUFWDL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(VLMUFWDL_BUILDING_LIBRARY)
#define VLMUFWDL_API __declspec(dllexport)
#else
#define VLMUFWDL_API __declspec(dllimport)
#endif
#else
#define VLMUFWDL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* API version: major in the high 16 bits, minor in the low 16 bits. */
#define VLMUFWDL_API_VERSION 0x00010001u
#define VLMUFWDL_API_VERSION_MAJOR(v) (((v) >> 16) & 0xFFFFu)
#define VLMUFWDL_API_VERSION_MINOR(v) ((v)&0xFFFFu)

/* Device interface class of the vendor's USB audio driver. */
#define VLMUFWDL_INTERFACE_GUID_STR "{49F4A1FF-55DD-4d45-9743-7B623EFF0361}"

typedef uint32_t VLMUFWDL_STATUS;

/* Status codes of the library. */
enum {
  VLMUFWDL_STATUS_SUCCESS = 0,
  VLMUFWDL_STATUS_VLD_FILE_STATE = 1,            /* image reader already open / not open */
  VLMUFWDL_STATUS_INVALID_PARAMETER = 2,         /* NULL pointer, size 0, missing/small firmware buffer */
  VLMUFWDL_STATUS_FILE_OPEN_FAILED = 3,          /* image file missing or cannot be opened */
  VLMUFWDL_STATUS_FILE_READ_FAILED = 4,          /* reading the image file failed */
  VLMUFWDL_STATUS_FILE_FORMAT = 5,               /* unknown file identifier or wrong file version */
  VLMUFWDL_STATUS_HEADER_CRC = 6,                /* image header CRC does not match */
  VLMUFWDL_STATUS_ENUMERATION_FAILED = 10,       /* GUID text does not convert, or enumeration failed */
  VLMUFWDL_STATUS_INVALID_DEVICE_INDEX = 13,     /* device index not below the device count */
  VLMUFWDL_STATUS_DEVICE_OPEN_FAILED = 14,       /* device could not be opened or reopened */
  VLMUFWDL_STATUS_NO_DEVICE_OPEN = 15,           /* no device is open */
  VLMUFWDL_STATUS_DEVICE_ALREADY_OPEN = 16,      /* another device is already open */
  VLMUFWDL_STATUS_DESCRIPTOR_REQUEST = 18,       /* descriptor or DFU_GETSTATUS request failed */
  VLMUFWDL_STATUS_REQUEST_FAILED = 19,           /* CLRSTATUS, detach, DNLOAD, serial request or port cycle failed */
  VLMUFWDL_STATUS_LOG_FILE = 23,                 /* opening or closing the log file failed */
  VLMUFWDL_STATUS_REPLUG_TIMEOUT = 24,           /* device did not come back within the re-plug time-out */
  VLMUFWDL_STATUS_BLOCK_POLL_TIMEOUT = 26,       /* polling time of one download block elapsed */
  VLMUFWDL_STATUS_MANIFEST_POLL_TIMEOUT = 27,    /* polling time of the manifestation phase elapsed */
  VLMUFWDL_STATUS_INVALID_TIMEOUT_SELECTOR = 28, /* time-out selector not 0, 1 or 2 */
  VLMUFWDL_STATUS_DFU_MODE_FAILED = 31,          /* no DFU mode; firmware not started; tracking/worker not started */
  VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS = 35,     /* a download is in progress */
  VLMUFWDL_STATUS_DOWNLOAD_RUNNING = 36,         /* download status while the download runs */
  VLMUFWDL_STATUS_DOWNLOAD_NOT_SUPPORTED = 45,   /* DFU functional descriptor does not allow downloads */
  VLMUFWDL_STATUS_UNEXPECTED_DFU_STATE = 46,     /* device reports a DFU state the step cannot handle */
  VLMUFWDL_STATUS_INVALID_DESCRIPTOR = 47,       /* descriptors invalid/incomplete, GETSTATUS reply not 6 bytes */
  VLMUFWDL_STATUS_DFU_SUFFIX_CRC = 48            /* DFU suffix CRC of the image file does not match */
};

/* Name and description of a status, e.g. for messages of a caller:
 * VLMUFWDL_StatusName(48) is "VLMUFWDL_STATUS_DFU_SUFFIX_CRC", and
 * VLMUFWDL_StatusText(48) "the DFU suffix CRC of the image file does not
 * match". Values the library does not define give "VLMUFWDL_STATUS_UNKNOWN"
 * and "unknown status". These are inline functions of this header, not
 * exports of the library. */
#define VLMUFWDL_STATUS_TABLE(X)                                                                                     \
  X(SUCCESS, "success")                                                                                              \
  X(VLD_FILE_STATE, "the firmware image reader is already open, or not open")                                        \
  X(INVALID_PARAMETER,                                                                                               \
    "a required pointer is NULL, a buffer size is 0, or the firmware buffer is missing or too small")                \
  X(FILE_OPEN_FAILED, "the image file does not exist or cannot be opened")                                           \
  X(FILE_READ_FAILED, "reading the image file failed")                                                               \
  X(FILE_FORMAT, "unknown image file identifier, or wrong image file version")                                       \
  X(HEADER_CRC, "the image header CRC does not match")                                                               \
  X(ENUMERATION_FAILED, "the interface GUID text does not convert, or the enumeration failed")                       \
  X(INVALID_DEVICE_INDEX, "the device index is not below the device count")                                          \
  X(DEVICE_OPEN_FAILED, "the device could not be opened, or not reopened after leaving the bus")                     \
  X(NO_DEVICE_OPEN, "no device is open")                                                                             \
  X(DEVICE_ALREADY_OPEN, "another device is already open")                                                           \
  X(DESCRIPTOR_REQUEST, "a descriptor request or a DFU_GETSTATUS request failed in the transport")                   \
  X(REQUEST_FAILED, "a DFU_CLRSTATUS, detach, DFU_DNLOAD or serial-number request failed, or the port cycle failed") \
  X(LOG_FILE, "opening, or closing, the log file failed")                                                            \
  X(REPLUG_TIMEOUT, "the device did not come back within the re-plug time-out")                                      \
  X(BLOCK_POLL_TIMEOUT, "the polling time allowed for one download block elapsed")                                   \
  X(MANIFEST_POLL_TIMEOUT, "the polling time allowed for the manifestation phase elapsed")                           \
  X(INVALID_TIMEOUT_SELECTOR, "the time-out selector is not 0, 1 or 2")                                              \
  X(DFU_MODE_FAILED,                                                                                                 \
    "the device does not enter DFU mode, its firmware could not be started, or tracking or the worker "              \
    "could not be started")                                                                                          \
  X(DOWNLOAD_IN_PROGRESS, "a download is in progress")                                                               \
  X(DOWNLOAD_RUNNING, "the download is running")                                                                     \
  X(DOWNLOAD_NOT_SUPPORTED, "the device's DFU functional descriptor does not allow downloads")                       \
  X(UNEXPECTED_DFU_STATE, "the device reports a DFU state that the current step cannot handle")                      \
  X(INVALID_DESCRIPTOR,                                                                                              \
    "the device's descriptors are invalid or incomplete, or a DFU_GETSTATUS reply is not 6 bytes long")              \
  X(DFU_SUFFIX_CRC, "the DFU suffix CRC of the image file does not match")

static inline const char* VLMUFWDL_StatusName(uint32_t Status) {
  switch (Status) {
#define VLMUFWDL_STATUS_NAME_CASE(name, text) \
  case VLMUFWDL_STATUS_##name:                \
    return "VLMUFWDL_STATUS_" #name;
    VLMUFWDL_STATUS_TABLE(VLMUFWDL_STATUS_NAME_CASE)
#undef VLMUFWDL_STATUS_NAME_CASE
    default:
      return "VLMUFWDL_STATUS_UNKNOWN";
  }
}

static inline const char* VLMUFWDL_StatusText(uint32_t Status) {
  switch (Status) {
#define VLMUFWDL_STATUS_TEXT_CASE(name, text) \
  case VLMUFWDL_STATUS_##name:                \
    return text;
    VLMUFWDL_STATUS_TABLE(VLMUFWDL_STATUS_TEXT_CASE)
#undef VLMUFWDL_STATUS_TEXT_CASE
    default:
      return "unknown status";
  }
}

/* Time-out selectors of VLMUFWDL_SetTimeout. */
enum {
  VLMUFWDL_TIMEOUT_REPLUG = 0,       /* close and reopen around a mode switch; default 60000 ms */
  VLMUFWDL_TIMEOUT_BLOCK_POLL = 1,   /* polling time per download block; default 1000 ms */
  VLMUFWDL_TIMEOUT_MANIFEST_POLL = 2 /* polling time of the manifestation phase; default 70000 ms */
};

#define VLMUFWDL_SERIAL_NUMBER_CHARS 256
#define VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE 512

#pragma pack(push, 1)
/* 516 bytes: identity of one device. */
typedef struct VLMUFWDL_DEVICE_INFO {
  uint16_t VendorId;                                   /* offset 0 */
  uint16_t ProductId;                                  /* offset 2 */
  uint16_t SerialNumber[VLMUFWDL_SERIAL_NUMBER_CHARS]; /* offset 4: UTF-16LE, NUL-terminated */
} VLMUFWDL_DEVICE_INFO;

/* 556 bytes: description of a firmware image file. */
typedef struct VLMUFWDL_VLD_FILE_INFO {
  uint32_t HeaderValue;                            /* offset 0 */
  uint32_t ModelId;                                /* offset 4 */
  uint32_t SoftwareVersion;                        /* offset 8 */
  uint32_t HwId;                                   /* offset 12 */
  char SoftwareDate[12];                           /* offset 16: YYYYMMDD, then zero bytes */
  char SoftwareTime[12];                           /* offset 28: HHMMSS and two carried bytes, then zero bytes */
  uint8_t VendorId[3];                             /* offset 40: most significant byte first */
  char InfoText[VLMUFWDL_VLD_FILE_INFO_TEXT_SIZE]; /* offset 43: NUL-terminated */
  uint8_t Reserved;                                /* offset 555: zero */
} VLMUFWDL_VLD_FILE_INFO;
#pragma pack(pop)

#if defined(__cplusplus)
static_assert(sizeof(VLMUFWDL_DEVICE_INFO) == 516, "VLMUFWDL_DEVICE_INFO must be 516 bytes");
static_assert(offsetof(VLMUFWDL_DEVICE_INFO, ProductId) == 2, "ProductId offset");
static_assert(offsetof(VLMUFWDL_DEVICE_INFO, SerialNumber) == 4, "SerialNumber offset");
static_assert(sizeof(VLMUFWDL_VLD_FILE_INFO) == 556, "VLMUFWDL_VLD_FILE_INFO must be 556 bytes");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, ModelId) == 4, "ModelId offset");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, SoftwareVersion) == 8, "SoftwareVersion offset");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, HwId) == 12, "HwId offset");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, SoftwareDate) == 16, "SoftwareDate offset");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, SoftwareTime) == 28, "SoftwareTime offset");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, VendorId) == 40, "VendorId offset");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, InfoText) == 43, "InfoText offset");
static_assert(offsetof(VLMUFWDL_VLD_FILE_INFO, Reserved) == 555, "Reserved offset");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(VLMUFWDL_DEVICE_INFO) == 516, "VLMUFWDL_DEVICE_INFO must be 516 bytes");
_Static_assert(sizeof(VLMUFWDL_VLD_FILE_INFO) == 556, "VLMUFWDL_VLD_FILE_INFO must be 556 bytes");
#endif

/* ------------------------------------------------------------ Library frame */

/* The API version, VLMUFWDL_API_VERSION (0x00010001: 1.1). A caller built
 * for 1.x accepts major 1 and a minor of at least its own. Takes no lock,
 * writes no log entry; may be called at any time from any thread. */
VLMUFWDL_API uint32_t VLMUFWDL_GetApiVersion(void);

/* ------------------------------------------------ Device, image and logging */

/* Switches the log file on (LogFileName: its path; at most 5000000 bytes,
 * then one backup generation ".bak") or off (NULL). The enabled entry types
 * and the line layout stay as the configuration file set them; when that
 * file exists the new setting is stored in it.
 * Returns 0; 23 when the file cannot be opened (or closed cleanly); 35
 * during a download (the log is left as it was). */
VLMUFWDL_API uint32_t VLMUFWDL_EnableLogging(const char* LogFileName);

/* Reads and checks a firmware image file (".vld": DFU suffix CRC, file
 * identifier and version, header CRC) and describes it in *VldInfo, which is
 * zeroed first (when VldInfo is not NULL). The file is closed again before
 * the call returns. Works in every state, also during a download.
 * Returns 0; 2 (VldInfo or VldFileName NULL); 1, 3, 4, 5, 6, 48 from the
 * image reader (see the status table). */
VLMUFWDL_API uint32_t VLMUFWDL_GetVldFileInfo(const char* VldFileName, VLMUFWDL_VLD_FILE_INFO* VldInfo);

/* Lists the present devices of the device interface class InterfaceGuidStr
 * (a GUID in braces, normally VLMUFWDL_INTERFACE_GUID_STR) and sets
 * *NumberOfDevices, which is set to 0 first (when not NULL). The list
 * replaces that of the previous enumeration: device indices of the other
 * exports refer to the last successful enumeration, and each index keeps
 * naming the interface path it was listed with, whatever the system lists
 * later (a device that left and came back at that path is the same index).
 * Works in every state.
 * Returns 0; 2 (a pointer NULL); 10 when the text is not a GUID (the
 * previous list stays) or the enumeration fails (the list is then empty). */
VLMUFWDL_API uint32_t VLMUFWDL_EnumerateDevices(const char* InterfaceGuidStr, uint32_t* NumberOfDevices);

/* Identity of device DeviceIndex into *DeviceInfo, zeroed first: vendor id,
 * product id and the serial-number string (UTF-16LE, NUL-terminated, at most
 * 255 characters). For the open device the values it had when it was opened
 * are given without any I/O (also during its download); any other device is
 * opened for the duration of the call.
 * Returns 0; 2 (DeviceInfo NULL); 13 (index not below the count of the last
 * enumeration); the open's status (14, 18, 24, 47, ...) when the device
 * cannot be opened or read. */
VLMUFWDL_API uint32_t VLMUFWDL_GetDeviceInfo(uint32_t DeviceIndex, VLMUFWDL_DEVICE_INFO* DeviceInfo);

/* Opens device DeviceIndex of the last enumeration (its interface path as
 * listed then) for a download or the serial-number calls, and reads its
 * identity and DFU descriptors. A device whose descriptors cannot be read
 * stays open: close it with VLMUFWDL_CloseDevice.
 * Returns 0; 16 (a device is open already, or a download runs); 13; 14, 18,
 * 47 and other statuses of the open. A device that could not be opened at
 * all leaves no device open. */
VLMUFWDL_API uint32_t VLMUFWDL_OpenDevice(uint32_t DeviceIndex);

/* Closes the open device.
 * Returns 0; 15 (no device open); 35 (a download runs: wait until
 * VLMUFWDL_GetDownloadStatus no longer answers 36, then close). */
VLMUFWDL_API uint32_t VLMUFWDL_CloseDevice(void);

/* ------------------------------------ Download, time-outs and serial number */

/* Starts the download of the image file VldFileName to the open device and
 * returns at once; the download runs on the library's worker thread. The
 * file is checked as by VLMUFWDL_GetVldFileInfo and sent byte for byte as it
 * lies on disk; it is closed before the call returns. Options: reserved,
 * pass 0.
 * Returns 0 (the download runs: poll VLMUFWDL_GetDownloadStatus); 2
 * (VldFileName NULL, or no memory for the image); 15 (no device open); 35 (a
 * download runs); 1, 3, 4, 5, 6, 48 from the image reader (4 also when the
 * file shrank while it was read); 31 (device tracking or the worker could
 * not be started); 45 (the device does not allow downloads). After a failed
 * start the device stays open and idle. */
VLMUFWDL_API uint32_t VLMUFWDL_StartDownload(const char* VldFileName, uint32_t Options);

/* Sets one of the engine's time-outs (milliseconds), in force for every
 * later open and download until the library is unloaded; no device needs to
 * be open. Selectors: VLMUFWDL_TIMEOUT_REPLUG, _BLOCK_POLL, _MANIFEST_POLL.
 * Returns 0; 28 (unknown selector, nothing changed); 35 (a download runs). */
VLMUFWDL_API uint32_t VLMUFWDL_SetTimeout(int32_t TimeoutSelector, uint32_t TimeoutMs);

/* Progress of the current or last download: bytes the device has accepted
 * and the image's total into *BytesDownloaded and *TotalBytes; the download
 * status is returned: 36 while the download runs, then its final status
 * (0 = the device runs the new firmware; 24, 26, 27, 31, 46, 47, 18, 19, ...
 * otherwise). Before any download all three are 0. Meant to be polled
 * (every 100 to 200 ms) from any thread while the worker runs; writes no
 * log entries. The three values are read one after the other and may come
 * from different moments of the download.
 * Returns the status, or 2 when a pointer is NULL. */
VLMUFWDL_API uint32_t VLMUFWDL_GetDownloadStatus(uint32_t* BytesDownloaded, uint32_t* TotalBytes);

/* Writes the serial number SerialNumber (8-bit text, at most 127
 * characters) into the open device: switches it into DFU mode, sends the
 * text and resets it into run-time mode; holds the global lock throughout
 * (up to the re-plug time-out per switch).
 * Returns 0; 2 (NULL, or longer than 127 characters); 15; 35; the statuses
 * of the mode switch (19, 24, 31, 46, ...); 19 when the device refuses the
 * text (it then stays in DFU mode); a system error code when device
 * tracking cannot be started. */
VLMUFWDL_API uint32_t VLMUFWDL_SetSerialNumber(const char* SerialNumber);

/* Reads the serial number the open device keeps into the caller's buffer:
 * SerialNumber points to the caller's pointer to a buffer of
 * SerialNumberBufferSize bytes. The buffer stays the caller's; it receives
 * the text, always NUL-terminated inside the buffer (a text that fills the
 * whole buffer loses its last character), or an empty text when the read
 * fails. Switches the device into DFU mode and back, as the write does.
 * Returns 0; 2 (either pointer NULL, or size 0: checked before the device is
 * touched); 15; 35; the statuses of the mode switch; 19 when the read fails;
 * a system error code when device tracking cannot be started. */
VLMUFWDL_API uint32_t VLMUFWDL_GetSerialNumber(char** SerialNumber, uint16_t SerialNumberBufferSize);

#ifdef __cplusplus
}
#endif

#endif /* VLMUFWDL_H */
