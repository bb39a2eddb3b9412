#include "StringTable.h"

namespace vlmapp {
namespace {

struct Entry {
  uint32_t id;
  std::string_view text;
};

constexpr Entry kTable[] = {
    {IDS_ABOUTBOX, "&About ..."},
    {IDP_CONFIRM_UPGRADE, "You are about to upgrade the firmware of the selected device.\nAre you sure?"},
    {IDS_COLUMN_VENDOR_PRODUCT, "Vendor/Product ID"},
    {IDS_COLUMN_SERIAL_NUMBER, "Serial Number"},
    {IDS_PREPARING_DOWNLOAD, "Preparing download ..."},
    {IDS_BYTES_DOWNLOADED, "%d bytes of %d downloaded ... "},
    {IDS_DOWNLOAD_FINISHED, "Download successfully finished."},
    {IDS_DOWNLOAD_FAILED, "Download failed. Error code 0x%02X."},
    {IDS_WINDOW_TITLE, "Velmora USB Firmware Upgrade"},
    {IDS_NO_DEVICES, "--- no devices available ---"},
    {IDS_ERROR_CAPTION, "Error 0x%02X"},
    {IDS_ERROR_GENERIC, "An error is occurred!"},
    {IDS_FILE_OPEN_FAILED, "Unable to open firmware file!"},
    {IDS_FILE_INVALID, "The selected file is not a valid firmware!"},
    {IDS_FILE_READ_FAILED, "Unable to read firmware file!"},
    {IDS_STARTING_FIRMWARE, "Starting downloaded firmware ..."},
    {IDS_WRONG_API_VERSION, "The used Firmware Download DLL has not the expected API version."},
    {IDS_DEVICE_LIST_CHANGED,
     "Probably the device list changed while the download has been started. Please start download again."},
};

}  // namespace

std::string_view BuiltInText(uint32_t id) {
  for (const Entry& e : kTable) {
    if (e.id == id) return e.text;
  }
  return {};
}

}  // namespace vlmapp
