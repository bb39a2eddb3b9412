#pragma once
// The program's string table: every text a person sees, by its numeric id.
// The texts are kept exactly as the product has always shown them, spelling
// included ("An error is occurred!"); do not reword them.
#include <cstdint>
#include <string>
#include <string_view>

namespace vlmapp {

enum TextId : uint32_t {
  IDS_ABOUTBOX = 101,  // "&About ..."
  IDP_CONFIRM_UPGRADE = 102,
  IDS_COLUMN_VENDOR_PRODUCT = 134,
  IDS_COLUMN_SERIAL_NUMBER = 135,
  IDS_PREPARING_DOWNLOAD = 136,
  IDS_BYTES_DOWNLOADED = 137,
  IDS_DOWNLOAD_FINISHED = 139,
  IDS_DOWNLOAD_FAILED = 140,
  IDS_WINDOW_TITLE = 141,
  IDS_NO_DEVICES = 142,
  IDS_ERROR_CAPTION = 143,
  IDS_ERROR_GENERIC = 144,
  IDS_FILE_OPEN_FAILED = 145,
  IDS_FILE_INVALID = 146,
  IDS_FILE_READ_FAILED = 147,
  IDS_STARTING_FIRMWARE = 149,
  IDS_WRONG_API_VERSION = 152,
  IDS_DEVICE_LIST_CHANGED = 156,
};

// The text of `id` as the program shows it; empty for an id the table does
// not have. On Windows it is read from the program file's string table
// resource (LoadString; app/win32/ResourceTexts.cpp), elsewhere it is the
// built-in table (BuiltInTexts.cpp).
std::string LoadText(uint32_t id);

// The built-in table: the texts the resource script carries, and the
// program's texts where there is no such resource.
std::string_view BuiltInText(uint32_t id);

}  // namespace vlmapp
