#include "StatusText.h"

#include <cstdio>

namespace vlmutool {
namespace {

struct Entry {
  uint32_t status;
  const char* text;
};

constexpr Entry kTable[] = {
    {0, "success"},
    {1, "the firmware image reader is already open, or not open"},
    {2, "a required pointer is NULL, a buffer size is 0, or the firmware buffer is missing or too small"},
    {3, "the image file does not exist or cannot be opened"},
    {4, "reading the image file failed"},
    {5, "unknown image file identifier, or wrong image file version"},
    {6, "the image header CRC does not match"},
    {10, "the interface GUID text does not convert, or the enumeration failed"},
    {13, "the device index is not below the device count"},
    {14, "the device could not be opened, or not reopened after leaving the bus"},
    {15, "no device is open"},
    {16, "another device is already open"},
    {18, "a descriptor request or a DFU_GETSTATUS request failed in the transport"},
    {19, "a DFU_CLRSTATUS, detach, DFU_DNLOAD or serial-number request failed, or the port cycle failed"},
    {23, "opening, or closing, the log file failed"},
    {24, "the device did not come back within the re-plug time-out"},
    {26, "the polling time allowed for one download block elapsed"},
    {27, "the polling time allowed for the manifestation phase elapsed"},
    {28, "the time-out selector is not 0, 1 or 2"},
    {31, "the device does not enter DFU mode, its firmware could not be started, or tracking or the worker could not be started"},
    {35, "a download is in progress"},
    {36, "the download is running"},
    {45, "the device's DFU functional descriptor does not allow downloads"},
    {46, "the device reports a DFU state that the current step cannot handle"},
    {47, "the device's descriptors are invalid or incomplete, or a DFU_GETSTATUS reply is not 6 bytes long"},
    {48, "the DFU suffix CRC of the image file does not match"},
};

}  // namespace

const char* StatusText(uint32_t status) {
  for (const Entry& e : kTable) {
    if (e.status == status) return e.text;
  }
  return "unknown status";
}

bool IsKnownStatus(uint32_t status) {
  for (const Entry& e : kTable) {
    if (e.status == status) return true;
  }
  return false;
}

std::string DescribeStatus(uint32_t status) {
  char code[32];
  std::snprintf(code, sizeof code, " (status 0x%02X)", status);
  return std::string(StatusText(status)) + code;
}

}  // namespace vlmutool
