#include "ImageDisplay.h"

#include <cstdio>
#include <cstring>

#include "StatusText.h"

namespace vlmutool {
namespace {

// The fields of a record are fixed-size arrays that a damaged image may fill
// without a terminator: read at most `size` characters.
std::string FieldText(const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

std::string FormatHex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string FormatVendorId(const uint8_t bytes[3]) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X", bytes[0], bytes[1], bytes[2]);
  return text;
}

std::string FormatDateTime(std::string_view date, std::string_view time) {
  // Characters past the end read as NUL, like the terminator of a C string.
  const auto at = [](std::string_view text, std::size_t i) { return i < text.size() ? text[i] : '\0'; };
  char datePart[16] = "";
  char timePart[16] = "";
  if (!date.empty() && date[0] != '\0') {
    std::snprintf(datePart, sizeof datePart, "%c%c%c%c/%c%c/%c%c", at(date, 0), at(date, 1), at(date, 2), at(date, 3),
                  at(date, 4), at(date, 5), at(date, 6), at(date, 7));
  }
  if (!time.empty() && time[0] != '\0') {
    std::snprintf(timePart, sizeof timePart, "%c%c:%c%c:%c%c", at(time, 0), at(time, 1), at(time, 2), at(time, 3),
                  at(time, 4), at(time, 5));
  }
  // As a C string: a NUL among the characters ends that part.
  return std::string(datePart) + "  " + std::string(timePart);
}

std::string DescribeImage(const std::string& path, const VLMUFWDL_VLD_FILE_INFO& info) {
  const std::string date = FieldText(info.SoftwareDate, sizeof info.SoftwareDate);
  const std::string time = FieldText(info.SoftwareTime, sizeof info.SoftwareTime);
  std::string out;
  out += "File:                " + Printable(path) + "\n";
  out += "Vendor ID:           " + FormatVendorId(info.VendorId) + "\n";
  out += "HwID:                " + FormatHex32(info.HwId) + "\n";
  out += "Software Date/Time:  " + Printable(FormatDateTime(date, time)) + "\n";
  out += "Software Version:    " + FormatHex32(info.SoftwareVersion) + "\n";
  out += "Model ID:            " + FormatHex32(info.ModelId) + "\n";
  out += "Header Value:        " + FormatHex32(info.HeaderValue) + "\n";
  out += "Info Text:           " + Printable(FieldText(info.InfoText, sizeof info.InfoText)) + "\n";
  return out;
}

std::string ImageJson(const std::string& path, uint32_t status, const VLMUFWDL_VLD_FILE_INFO* info) {
  std::string out = "{\"file\": " + JsonString(path) + ", \"status\": " + std::to_string(status);
  if (status != 0 || info == nullptr) {
    out += ", \"error\": " + JsonString(StatusText(status)) + "}";
    return out;
  }
  const std::string date = FieldText(info->SoftwareDate, sizeof info->SoftwareDate);
  const std::string time = FieldText(info->SoftwareTime, sizeof info->SoftwareTime);
  out += ", \"vendorId\": " + JsonString(FormatVendorId(info->VendorId));
  out += ", \"hwId\": " + JsonString(FormatHex32(info->HwId));
  out += ", \"softwareDate\": " + JsonString(date);
  out += ", \"softwareTime\": " + JsonString(time);
  out += ", \"softwareDateTime\": " + JsonString(FormatDateTime(date, time));
  out += ", \"softwareVersion\": " + JsonString(FormatHex32(info->SoftwareVersion));
  out += ", \"modelId\": " + JsonString(FormatHex32(info->ModelId));
  out += ", \"headerValue\": " + JsonString(FormatHex32(info->HeaderValue));
  out += ", \"infoText\": " + JsonString(FieldText(info->InfoText, sizeof info->InfoText));
  out += "}";
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04X", static_cast<unsigned>(c));
          out += esc;
        } else {
          out += ch;
        }
    }
  }
  out += "\"";
  return out;
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned>(c));
      out += esc;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace vlmutool
