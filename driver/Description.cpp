#include "Description.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using nlohmann::json;

namespace {

struct BadDescription : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& msg) { throw BadDescription(msg); }

// Numbers may be JSON integers or texts like "0x1234".
uint64_t Num(const json& v, const std::string& what, uint64_t max) {
  uint64_t n = 0;
  if (v.is_number_unsigned()) {
    n = v.get<uint64_t>();
  } else if (v.is_number_integer()) {
    const int64_t s = v.get<int64_t>();
    if (s < 0) Fail(what + " must not be negative");
    n = static_cast<uint64_t>(s);
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    try {
      size_t used = 0;
      n = std::stoull(s, &used, 0);
      if (used != s.size()) Fail(what + " is not a number: " + s);
    } catch (const std::logic_error&) {
      Fail(what + " is not a number: " + s);
    }
  } else {
    Fail(what + " must be a number");
  }
  if (n > max) Fail(what + " is out of range: " + std::to_string(n));
  return n;
}

uint64_t Get(const json& o, const char* key, uint64_t def, uint64_t max) {
  if (!o.is_object() || !o.contains(key)) return def;
  return Num(o.at(key), key, max);
}

bool GetBool(const json& o, const char* key, bool def) {
  if (!o.contains(key)) return def;
  if (!o.at(key).is_boolean()) Fail(std::string(key) + " must be true or false");
  return o.at(key).get<bool>();
}

std::string GetString(const json& o, const char* key, const std::string& def) {
  if (!o.contains(key)) return def;
  if (!o.at(key).is_string()) Fail(std::string(key) + " must be a string");
  return o.at(key).get<std::string>();
}

// Byte arrays: [18, 1, ...] or a hex text "12 01 00 02 ...".
std::string Bytes(const json& v, const std::string& what) {
  std::string out;
  if (v.is_array()) {
    for (const auto& b : v) out.push_back(static_cast<char>(Num(b, what + " byte", 255)));
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    std::string digits;
    for (char ch : s) {
      if (std::isxdigit(static_cast<unsigned char>(ch))) digits.push_back(ch);
      else if (ch != ' ' && ch != ',' && ch != ':' && ch != '\n') Fail(what + ": not a hex byte text");
    }
    if (digits.size() % 2 != 0) Fail(what + ": odd number of hex digits");
    for (size_t i = 0; i < digits.size(); i += 2) out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  } else {
    Fail(what + " must be a byte array or a hex text");
  }
  return out;
}

// UTF-16 code units of a UTF-8 text (valid UTF-8: the JSON parser checks it).
size_t Utf16Units(const std::string& text) {
  size_t units = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

void CheckStringText(const std::string& text, const std::string& what) {
  if (Utf16Units(text) > kMaxStringUnits)
    Fail(what + " is longer than " + std::to_string(kMaxStringUnits) + " characters (a string descriptor holds no more)");
}

void CheckPath(const std::string& path, const std::string& what) {
  if (path.size() > driverproto::kMaxPathLength)
    Fail(what + " is longer than " + std::to_string(driverproto::kMaxPathLength) + " bytes");
}

void Put16(std::string& s, uint64_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

std::string DeviceFromFields(const json& d, const Description& desc, size_t numConfigs, bool hasSerial) {
  std::string s;
  s.push_back(18);
  s.push_back(1);
  Put16(s, Get(d, "bcdUSB", 0x0200, 0xFFFF));
  s.push_back(static_cast<char>(Get(d, "bDeviceClass", 0xEF, 255)));
  s.push_back(static_cast<char>(Get(d, "bDeviceSubClass", 0x02, 255)));
  s.push_back(static_cast<char>(Get(d, "bDeviceProtocol", 0x01, 255)));
  s.push_back(static_cast<char>(Get(d, "bMaxPacketSize0", 64, 255)));
  Put16(s, Get(d, "idVendor", desc.vendorId, 0xFFFF));
  Put16(s, Get(d, "idProduct", desc.productId, 0xFFFF));
  Put16(s, Get(d, "bcdDevice", desc.bcdDevice, 0xFFFF));
  s.push_back(static_cast<char>(Get(d, "iManufacturer", 1, 255)));
  s.push_back(static_cast<char>(Get(d, "iProduct", 2, 255)));
  s.push_back(static_cast<char>(Get(d, "iSerialNumber", hasSerial ? 3 : 0, 255)));
  s.push_back(static_cast<char>(Get(d, "bNumConfigurations", numConfigs, 255)));
  return s;
}

std::string FunctionalFromFields(const json& f) {
  const uint64_t len = Get(f, "bLength", 9, 255);
  std::string s;
  s.push_back(static_cast<char>(len));
  s.push_back(static_cast<char>(Get(f, "bDescriptorType", 0x21, 255)));
  s.push_back(static_cast<char>(Get(f, "bmAttributes", 0x05, 255)));
  Put16(s, Get(f, "wDetachTimeOut", 1000, 0xFFFF));
  Put16(s, Get(f, "wTransferSize", 4096, 0xFFFF));
  Put16(s, Get(f, "bcdDFUVersion", 0x0110, 0xFFFF));
  s.resize(static_cast<size_t>(len), '\0');  // a 7-byte descriptor drops the version field
  return s;
}

std::string InterfaceFromFields(const json& i, bool dfuShorthand) {
  std::string body;
  uint64_t endpoints = 0;
  if (i.contains("endpoints")) {
    for (const auto& e : i.at("endpoints")) {
      body.push_back(7);
      body.push_back(5);
      body.push_back(static_cast<char>(Get(e, "bEndpointAddress", 0x81, 255)));
      body.push_back(static_cast<char>(Get(e, "bmAttributes", 2, 255)));
      Put16(body, Get(e, "wMaxPacketSize", 512, 0xFFFF));
      body.push_back(static_cast<char>(Get(e, "bInterval", 0, 255)));
      ++endpoints;
    }
  }
  std::string s;
  s.push_back(static_cast<char>(Get(i, "bLength", 9, 255)));
  s.push_back(4);
  s.push_back(static_cast<char>(Get(i, "bInterfaceNumber", 0, 255)));
  s.push_back(static_cast<char>(Get(i, "bAlternateSetting", 0, 255)));
  s.push_back(static_cast<char>(Get(i, "bNumEndpoints", endpoints, 255)));
  s.push_back(static_cast<char>(Get(i, "bInterfaceClass", dfuShorthand ? 0xFE : 0x01, 255)));
  s.push_back(static_cast<char>(Get(i, "bInterfaceSubClass", dfuShorthand ? 0x01 : 0x01, 255)));
  s.push_back(static_cast<char>(Get(i, "bInterfaceProtocol", dfuShorthand ? 1 : 0, 255)));
  s.push_back(static_cast<char>(Get(i, "iInterface", 0, 255)));
  while (s.size() < static_cast<size_t>(static_cast<uint8_t>(s[0]))) s.push_back('\0');  // bLength > 9
  if (i.contains("extra")) s += Bytes(i.at("extra"), "extra");
  s += body;
  if (dfuShorthand) s += FunctionalFromFields(i);
  else if (i.contains("dfuFunctional")) s += FunctionalFromFields(i.at("dfuFunctional"));
  return s;
}

std::string ConfigurationFromFields(const json& c) {
  std::string body;
  uint64_t interfaces = 0;
  if (c.contains("interfaces")) {
    for (const auto& i : c.at("interfaces")) {
      const bool dfu = i.contains("dfu") && i.at("dfu").is_boolean() && i.at("dfu").get<bool>();
      body += InterfaceFromFields(i, dfu);
      ++interfaces;
    }
  }
  if (c.contains("extra")) body += Bytes(c.at("extra"), "extra");
  std::string s;
  s.push_back(9);
  s.push_back(2);
  Put16(s, Get(c, "wTotalLength", 9 + body.size(), 0xFFFF));
  s.push_back(static_cast<char>(Get(c, "bNumInterfaces", interfaces, 255)));
  s.push_back(static_cast<char>(Get(c, "bConfigurationValue", 1, 255)));
  s.push_back(static_cast<char>(Get(c, "iConfiguration", 0, 255)));
  s.push_back(static_cast<char>(Get(c, "bmAttributes", 0x80, 255)));
  s.push_back(static_cast<char>(Get(c, "bMaxPower", 250, 255)));
  return s + body;
}

// Default configuration of a mode: an audio control interface and the DFU
// interface in run-time mode; the DFU interface alone in DFU mode.
json DefaultConfiguration(bool dfuMode, const json& dfuFields) {
  json dfu = dfuFields.is_object() ? dfuFields : json::object();
  dfu["dfu"] = true;
  if (!dfu.contains("bInterfaceProtocol")) dfu["bInterfaceProtocol"] = dfuMode ? 2 : 1;
  if (!dfu.contains("bInterfaceNumber")) dfu["bInterfaceNumber"] = dfuMode ? 0 : 3;
  json interfaces = json::array();
  if (!dfuMode) {
    interfaces.push_back({{"bInterfaceNumber", 0}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", 1}, {"bInterfaceProtocol", 0x20}});
    interfaces.push_back({{"bInterfaceNumber", 1}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", 2}, {"bInterfaceProtocol", 0x20}});
    interfaces.push_back({{"bInterfaceNumber", 2}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", 2}, {"bInterfaceProtocol", 0x20}});
  }
  interfaces.push_back(dfu);
  return {{"interfaces", interfaces}};
}

Personality ParsePersonality(const json& p, const Description& desc, bool dfuMode, const json& dfuFields) {
  Personality out;
  if (!p.is_object() && !p.is_null()) Fail(std::string(dfuMode ? "dfu" : "runtime") + " must be an object");
  const json o = p.is_object() ? p : json::object();
  out.path = GetString(o, "path", "");
  CheckPath(out.path, std::string(dfuMode ? "dfu" : "runtime") + ".path");
  json configs = o.contains("configurations") ? o.at("configurations") : json::array({DefaultConfiguration(dfuMode, dfuFields)});
  if (!configs.is_array()) Fail("configurations must be an array");
  for (const auto& c : configs) {
    if (c.is_object() && c.contains("raw")) out.configurations.push_back(Bytes(c.at("raw"), "configuration raw"));
    else if (c.is_array() || c.is_string()) out.configurations.push_back(Bytes(c, "configuration"));
    else out.configurations.push_back(ConfigurationFromFields(c));
  }
  const bool hasSerial = !desc.serialNumber.empty();
  if (o.contains("deviceRaw")) out.deviceDescriptor = Bytes(o.at("deviceRaw"), "deviceRaw");
  else out.deviceDescriptor = DeviceFromFields(o.value("device", json::object()), desc, out.configurations.size(), hasSerial);

  // Strings: language table, texts, raw overrides.
  std::string langs;
  langs.push_back(0);
  langs.push_back(3);
  const json languages = o.contains("languages") ? o.at("languages") : json::array({0x0409});
  for (const auto& l : languages) Put16(langs, Num(l, "language", 0xFFFF));
  langs[0] = static_cast<char>(langs.size());
  out.strings[0] = langs;
  const uint8_t iManufacturer = out.deviceDescriptor.size() > 14 ? static_cast<uint8_t>(out.deviceDescriptor[14]) : 0;
  const uint8_t iProduct = out.deviceDescriptor.size() > 15 ? static_cast<uint8_t>(out.deviceDescriptor[15]) : 0;
  const uint8_t iSerial = out.deviceDescriptor.size() > 16 ? static_cast<uint8_t>(out.deviceDescriptor[16]) : 0;
  if (iManufacturer != 0) out.strings[iManufacturer] = StringDescriptor("Velmora");
  if (iProduct != 0) out.strings[iProduct] = StringDescriptor(dfuMode ? "Velmora Audio (DFU)" : "Velmora Audio");
  if (iSerial != 0 && hasSerial) out.strings[iSerial] = StringDescriptor(desc.serialNumber);
  if (o.contains("strings")) {
    for (const auto& [k, v] : o.at("strings").items()) {
      if (!v.is_string()) Fail("strings." + k + " must be a text");
      CheckStringText(v.get<std::string>(), "strings." + k);
      out.strings[static_cast<uint8_t>(Num(json(k), "string index", 255))] = StringDescriptor(v.get<std::string>());
    }
  }
  if (o.contains("rawStrings")) {
    for (const auto& [k, v] : o.at("rawStrings").items())
      out.strings[static_cast<uint8_t>(Num(json(k), "string index", 255))] = Bytes(v, "rawStrings." + k);
  }
  ScanDfu(out);
  return out;
}

// Runs a parse step; a malformed description becomes `error` and false.
template <class Body>
bool Guarded(std::string& error, Body&& body) {
  try {
    return body();
  } catch (const BadDescription& e) {
    error = e.what();
  } catch (const json::exception& e) {
    error = e.what();
  }
  return false;
}

}  // namespace

bool ParseJsonText(std::string_view text, json& out, std::string& error, bool comments) {
  if (text.size() > kMaxJsonText) {
    error = "JSON text is longer than " + std::to_string(kMaxJsonText) + " bytes";
    return false;
  }
  // The nesting depth is measured before parsing: a deep value would be
  // walked recursively by everything that copies or prints it.
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (inString) {
      if (ch == '\\') ++i;
      else if (ch == '"') inString = false;
    } else if (ch == '"') {
      inString = true;
    } else if (comments && ch == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      // Brackets and quotes in a comment are no part of the value.
      const bool toLineEnd = text[i + 1] == '/';
      const size_t end = text.find(toLineEnd ? "\n" : "*/", i + 2);
      if (end == std::string_view::npos) break;  // the parser reports an unterminated comment
      i = toLineEnd ? end : end + 1;
    } else if (ch == '[' || ch == '{') {
      if (++depth > kMaxJsonDepth) {
        error = "JSON text is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return false;
      }
    } else if ((ch == ']' || ch == '}') && depth > 0) {
      --depth;
    }
  }
  try {
    out = json::parse(text, nullptr, true, comments);
  } catch (const json::parse_error& e) {
    // The line and column of the fault, for a person who edits the file.
    const size_t at = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
    const std::string_view before = text.substr(0, at);
    const size_t lineStart = before.rfind('\n');
    const size_t column = at - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
    error = "not valid JSON at line " + std::to_string(std::count(before.begin(), before.end(), '\n') + 1) +
            ", column " + std::to_string(column);
    return false;
  }
  return true;
}

platform::Guid VendorInterfaceClass() {
  platform::Guid g;
  ParseGuidText("{49F4A1FF-55DD-4d45-9743-7B623EFF0361}", g);
  return g;
}

bool ParseGuidText(const std::string& text, platform::Guid& guid) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
  static const int groups[] = {8, 4, 4, 4, 12};
  std::string hex;
  size_t pos = 1;
  for (int gi = 0; gi < 5; ++gi) {
    for (int k = 0; k < groups[gi]; ++k, ++pos) {
      if (!std::isxdigit(static_cast<unsigned char>(text[pos]))) return false;
      hex.push_back(text[pos]);
    }
    if (gi < 4 && text[pos++] != '-') return false;
  }
  auto val = [&hex](size_t off, size_t n) { return static_cast<uint32_t>(std::stoul(hex.substr(off, n), nullptr, 16)); };
  guid.Data1 = val(0, 8);
  guid.Data2 = static_cast<uint16_t>(val(8, 4));
  guid.Data3 = static_cast<uint16_t>(val(12, 4));
  for (size_t i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(val(16 + 2 * i, 2));
  return true;
}

std::string GuidText(const platform::Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::string DefaultPath(uint16_t vid, uint16_t pid, const std::string& serial, const platform::Guid& guid) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "\\\\?\\usb#vid_%04x&pid_%04x#", vid, pid);
  return std::string(buf) + (serial.empty() ? std::string("0") : serial) + "#" + GuidText(guid);
}

std::string StringDescriptor(const std::string& text) {
  // UTF-8 to UTF-16LE (code points beyond the BMP become surrogate pairs).
  std::string s = {0, 3};
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) { cp = c; n = 1; }
    else if ((c >> 5) == 6) { cp = c & 0x1F; n = 2; }
    else if ((c >> 4) == 14) { cp = c & 0x0F; n = 3; }
    else { cp = c & 0x07; n = 4; }
    for (size_t k = 1; k < n && i + k < text.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      Put16(s, 0xD800 + (cp >> 10));
      Put16(s, 0xDC00 + (cp & 0x3FF));
    } else {
      Put16(s, cp);
    }
  }
  if (s.size() > 254) s.resize(254);
  s[0] = static_cast<char>(s.size());
  return s;
}

void ScanDfu(Personality& p) {
  p.hasDfuInterface = p.hasFunctional = false;
  for (const std::string& c : p.configurations) {
    size_t pos = c.size() >= 9 ? static_cast<uint8_t>(c[0]) : c.size();
    bool inDfu = false;
    while (pos + 2 <= c.size()) {
      const size_t len = static_cast<uint8_t>(c[pos]);
      const auto type = static_cast<uint8_t>(c[pos + 1]);
      if (len < 2 || pos + len > c.size()) break;
      if (type == 4 && len >= 9) {
        const bool dfu = static_cast<uint8_t>(c[pos + 5]) == 0xFE && static_cast<uint8_t>(c[pos + 6]) == 0x01;
        if (dfu && !p.hasDfuInterface) {
          p.hasDfuInterface = true;
          p.dfuInterfaceNumber = static_cast<uint8_t>(c[pos + 2]);
          p.dfuProtocol = static_cast<uint8_t>(c[pos + 7]);
          inDfu = true;
        }
      } else if (type == 0x21 && inDfu && !p.hasFunctional && len >= 7) {
        p.hasFunctional = true;
        p.attributes = static_cast<uint8_t>(c[pos + 2]);
        p.detachTimeout = static_cast<uint16_t>(static_cast<uint8_t>(c[pos + 3]) | (static_cast<uint8_t>(c[pos + 4]) << 8));
        p.transferSize = static_cast<uint16_t>(static_cast<uint8_t>(c[pos + 5]) | (static_cast<uint8_t>(c[pos + 6]) << 8));
      }
      pos += len;
    }
    if (p.hasDfuInterface) return;
  }
}

int DfuStateFromName(const std::string& name) {
  static const char* names[] = {"appIDLE",          "appDETACH",   "dfuIDLE",
                                "dfuDNLOAD_SYNC",   "dfuDNBUSY",   "dfuDNLOAD_IDLE",
                                "dfuMANIFEST_SYNC", "dfuMANIFEST", "dfuMANIFEST_WAIT_RESET",
                                "dfuUPLOAD_IDLE",   "dfuERROR"};
  for (int i = 0; i < 11; ++i)
    if (name == names[i]) return i;
  return -1;
}

int DfuStatusFromName(const std::string& name) {
  static const char* names[] = {"OK",      "errTARGET", "errFILE",   "errWRITE",  "errERASE", "errCHECK_ERASED",
                                "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR",
                                "errUSBR", "errPOR",    "errUNKNOWN", "errSTALLEDPKT"};
  for (int i = 0; i < 16; ++i)
    if (name == names[i]) return i;
  return -1;
}

std::string ScriptRequestName(uint32_t type, uint8_t bRequest) {
  static const char* dfu[] = {"DFU_DETACH", "DFU_DNLOAD", "DFU_UPLOAD", "DFU_GETSTATUS",
                              "DFU_CLRSTATUS", "DFU_GETSTATE", "DFU_ABORT"};
  if (type == 1 && bRequest < 7) return dfu[bRequest];
  if (type == 2 && bRequest == 0x80) return "VENDOR_DETACH";
  if (type == 2 && bRequest == 0x83) return "VENDOR_SET_SERIAL";
  if (type == 2 && bRequest == 0x84) return "VENDOR_GET_SERIAL";
  return "";
}

namespace {

// A state or status given by name or number (any byte value).
int StateOrStatus(const json& v, const std::string& what, bool state) {
  if (v.is_string()) {
    const int n = state ? DfuStateFromName(v.get<std::string>()) : DfuStatusFromName(v.get<std::string>());
    if (n >= 0) return n;
  }
  return static_cast<int>(Num(v, what, 255));
}

std::vector<ScriptEntry> ParseScript(const std::string& name, const json& list) {
  if (!list.is_array()) Fail("script." + name + " must be an array");
  constexpr size_t kMaxEntries = 1024;
  if (list.size() > kMaxEntries) Fail("script." + name + " has more than " + std::to_string(kMaxEntries) + " entries");
  std::vector<ScriptEntry> out;
  for (const json& e : list) {
    const std::string where = "script." + name;
    if (!e.is_object()) Fail(where + " entries must be objects");
    static const char* known[] = {"action", "repeat", "inState", "state", "status", "pollTimeout", "enter", "reply", "error"};
    for (const auto& [k, v] : e.items()) {
      bool ok = false;
      for (const char* n : known) ok = ok || k == n;
      if (!ok) Fail(where + ": unknown field \"" + k + "\"");
    }
    ScriptEntry s;
    s.repeat = static_cast<uint32_t>(Get(e, "repeat", 1, 1000000));
    if (s.repeat == 0) Fail(where + ": repeat counts from 1");
    if (e.contains("inState")) s.inState = StateOrStatus(e.at("inState"), "inState", true);
    if (e.contains("state")) s.state = StateOrStatus(e.at("state"), "state", true);
    if (e.contains("status")) s.status = StateOrStatus(e.at("status"), "status", false);
    if (e.contains("pollTimeout")) s.pollTimeout = static_cast<int64_t>(Num(e.at("pollTimeout"), "pollTimeout", 0xFFFFFF));
    s.enter = GetBool(e, "enter", false);
    if (e.contains("reply")) {
      s.reply = Bytes(e.at("reply"), where + ".reply");
      s.hasReply = true;
    }
    s.error = static_cast<uint32_t>(Get(e, "error", 31, 0xFFFFFFFF));
    const bool replyFields = s.hasReply || s.state >= 0 || s.status >= 0 || s.pollTimeout >= 0;
    s.action = GetString(e, "action", replyFields ? "reply" : "pass");
    if (s.action != "pass" && s.action != "reply" && s.action != "ack" && s.action != "stall" && s.action != "error")
      Fail(where + ": action must be pass, reply, ack, stall or error");
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace

bool ParseBehaviour(const json& j, Behaviour& b, std::string& error) {
  return Guarded(error, [&] {
    if (!j.is_object()) Fail("behaviour must be an object");
    static const char* known[] = {"initialState", "dfuOnly", "runtimeStatus", "stayInAppIdleAfterDetach", "willDetach",
                                  "manifestationTolerant", "detachDelayMs", "reenumerationMs", "neverReturn",
                                  "pollTimeout", "syncPolls", "busyPolls", "enforcePollTimeout", "manifestSyncPolls",
                                  "manifestPolls", "manifestTimeMs", "answerInManifest", "errorAtBlock", "finalReset",
                                  "statusLength", "newBcdDevice", "checkBlockNumbers", "faults", "maxSerialLength",
                                  "storedSerial", "serialInDescriptor", "script", "openFailures", "detachExpires"};
    for (const auto& [k, v] : j.items()) {
      bool ok = false;
      for (const char* n : known) ok = ok || k == n;
      if (!ok) Fail("unknown behaviour knob \"" + k + "\"");
    }
    b.initialState = GetString(j, "initialState", b.initialState);
    if (b.initialState != "appIDLE" && b.initialState != "appDETACH" && b.initialState != "dfuIDLE" &&
        b.initialState != "dfuERROR")
      Fail("initialState must be appIDLE, appDETACH, dfuIDLE or dfuERROR");
    b.dfuOnly = GetBool(j, "dfuOnly", b.dfuOnly);
    if (j.contains("runtimeStatus")) {
      const std::string v = GetString(j, "runtimeStatus", "answer");
      if (v != "answer" && v != "stall") Fail("runtimeStatus must be answer or stall");
      b.runtimeStatusStall = v == "stall";
    }
    b.stayInAppIdleAfterDetach = GetBool(j, "stayInAppIdleAfterDetach", b.stayInAppIdleAfterDetach);
    if (j.contains("willDetach")) {
      if (j.at("willDetach").is_null()) b.willDetach.reset();
      else b.willDetach = GetBool(j, "willDetach", false);
    }
    if (j.contains("manifestationTolerant")) {
      if (j.at("manifestationTolerant").is_null()) b.manifestationTolerant.reset();
      else b.manifestationTolerant = GetBool(j, "manifestationTolerant", false);
    }
    b.detachDelayMs = Get(j, "detachDelayMs", b.detachDelayMs, 3600000);
    b.reenumerationMs = Get(j, "reenumerationMs", b.reenumerationMs, 3600000);
    b.neverReturn = GetBool(j, "neverReturn", b.neverReturn);
    if (j.contains("pollTimeout")) {
      const json& pt = j.at("pollTimeout");
      if (pt.is_object()) {
        for (const auto& [k, v] : pt.items()) {
          const int st = DfuStateFromName(k);
          if (st < 0) Fail("pollTimeout: unknown DFU state " + k);
          b.pollTimeout[static_cast<uint8_t>(st)] = static_cast<uint32_t>(Num(v, "pollTimeout", 0xFFFFFF));
        }
      } else {
        const auto all = static_cast<uint32_t>(Num(pt, "pollTimeout", 0xFFFFFF));
        for (uint8_t st = 0; st <= 10; ++st) b.pollTimeout[st] = all;
      }
    }
    b.syncPolls = static_cast<uint32_t>(Get(j, "syncPolls", b.syncPolls, 1000000));
    b.busyPolls = static_cast<uint32_t>(Get(j, "busyPolls", b.busyPolls, 1000000));
    b.enforcePollTimeout = GetBool(j, "enforcePollTimeout", b.enforcePollTimeout);
    b.manifestSyncPolls = static_cast<uint32_t>(Get(j, "manifestSyncPolls", b.manifestSyncPolls, 1000000));
    b.manifestPolls = static_cast<uint32_t>(Get(j, "manifestPolls", b.manifestPolls, 1000000));
    b.manifestTimeMs = Get(j, "manifestTimeMs", b.manifestTimeMs, 3600000);
    b.answerInManifest = GetBool(j, "answerInManifest", b.answerInManifest);
    if (j.contains("errorAtBlock")) {
      const json& v = j.at("errorAtBlock");
      b.errorAtBlock = v.is_null() ? -1 : v.is_number_integer() && v.get<int64_t>() < 0 ? -1 : static_cast<int64_t>(Num(v, "errorAtBlock", 0xFFFFFFFF));
    }
    b.finalReset = GetString(j, "finalReset", b.finalReset);
    if (b.finalReset != "appIDLE" && b.finalReset != "noStatus" && b.finalReset != "dfuERROR" && b.finalReset != "dfuIDLE")
      Fail("finalReset must be appIDLE, noStatus, dfuERROR or dfuIDLE");
    b.statusLength = static_cast<uint32_t>(Get(j, "statusLength", b.statusLength, 64));
    if (j.contains("newBcdDevice")) {
      if (j.at("newBcdDevice").is_null()) b.newBcdDevice.reset();
      else b.newBcdDevice = static_cast<uint16_t>(Num(j.at("newBcdDevice"), "newBcdDevice", 0xFFFF));
    }
    b.checkBlockNumbers = GetBool(j, "checkBlockNumbers", b.checkBlockNumbers);
    if (j.contains("faults")) {
      if (!j.at("faults").is_array()) Fail("faults must be an array");
      b.faults.clear();
      for (const auto& f : j.at("faults")) {
        Fault fault;
        fault.request = Get(f, "request", 0, UINT64_MAX);
        fault.bRequest = f.contains("bRequest") ? static_cast<int>(Num(f.at("bRequest"), "bRequest", 255)) : -1;
        fault.occurrence = static_cast<uint32_t>(Get(f, "occurrence", 1, 0xFFFFFFFF));
        fault.action = GetString(f, "action", "stall");
        if (fault.action != "stall" && fault.action != "error" && fault.action != "delay" && fault.action != "hang" &&
            fault.action != "unplug")
          Fail("fault action must be stall, error, delay, hang or unplug");
        fault.error = static_cast<uint32_t>(Get(f, "error", 31, 0xFFFFFFFF));
        fault.delayMs = Get(f, "delayMs", 0, 3600000);
        if (fault.request == 0 && fault.bRequest < 0) Fail("a fault needs \"request\" or \"bRequest\"");
        if (fault.occurrence == 0) Fail("fault occurrence counts from 1");
        b.faults.push_back(fault);
      }
    }
    b.maxSerialLength = static_cast<uint32_t>(Get(j, "maxSerialLength", b.maxSerialLength, 0xFFFF));
    b.storedSerial = GetString(j, "storedSerial", b.storedSerial);
    b.serialInDescriptor = GetBool(j, "serialInDescriptor", b.serialInDescriptor);
    if (j.contains("script")) {
      const json& sc = j.at("script");
      if (!sc.is_object()) Fail("script must be an object of request names");
      b.script.clear();
      static const char* requests[] = {"DFU_DETACH",    "DFU_DNLOAD",   "DFU_UPLOAD",    "DFU_GETSTATUS",
                                       "DFU_CLRSTATUS", "DFU_GETSTATE", "DFU_ABORT",     "VENDOR_DETACH",
                                       "VENDOR_SET_SERIAL", "VENDOR_GET_SERIAL"};
      for (const auto& [k, v] : sc.items()) {
        bool ok = false;
        for (const char* n : requests) ok = ok || k == n;
        if (!ok) Fail("script: unknown request \"" + k + "\"");
        b.script[k] = ParseScript(k, v);
      }
    }
    b.openFailures = static_cast<uint32_t>(Get(j, "openFailures", b.openFailures, 1000000));
    b.detachExpires = GetBool(j, "detachExpires", b.detachExpires);
    return true;
  });
}

bool ParseDescription(const json& j, Description& d, std::string& error) {
  return Guarded(error, [&] {
    if (!j.is_object()) Fail("a device description must be a JSON object");
    d.source = j;
    d.id = GetString(j, "id", "");
    if (d.id.size() > kMaxIdLength) Fail("id is longer than " + std::to_string(kMaxIdLength) + " bytes");
    d.vendorId = static_cast<uint16_t>(Get(j, "vendorId", 0x1234, 0xFFFF));
    d.productId = static_cast<uint16_t>(Get(j, "productId", 0x5678, 0xFFFF));
    d.bcdDevice = static_cast<uint16_t>(Get(j, "bcdDevice", 0x0100, 0xFFFF));
    d.serialNumber = GetString(j, "serialNumber", "");
    CheckStringText(d.serialNumber, "serialNumber");
    d.present = GetBool(j, "present", true);
    d.interfaceClass = VendorInterfaceClass();
    if (j.contains("interfaceClass") && !ParseGuidText(GetString(j, "interfaceClass", ""), d.interfaceClass))
      Fail("interfaceClass must be a braced GUID text");
    const json dfuFields = j.value("dfuInterface", json::object());
    d.runtime = ParsePersonality(j.value("runtime", json()), d, false, dfuFields);
    json dfuDefaults = dfuFields;
    d.dfu = ParsePersonality(j.value("dfu", json()), d, true, dfuDefaults);
    const std::string path = GetString(j, "path", DefaultPath(d.vendorId, d.productId, d.serialNumber, d.interfaceClass));
    CheckPath(path, "path");
    if (d.runtime.path.empty()) d.runtime.path = path;
    if (d.dfu.path.empty()) d.dfu.path = d.runtime.path;
    d.behaviour = j.value("behaviour", json::object());
    if (j.contains("reenumerationMs") && !d.behaviour.contains("reenumerationMs"))
      d.behaviour["reenumerationMs"] = j.at("reenumerationMs");
    Behaviour b;
    if (!ParseBehaviour(d.behaviour, b, error)) return false;
    return true;
  });
}

}  // namespace vlmudrv
