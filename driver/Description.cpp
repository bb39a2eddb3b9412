#include "Description.h"

#include <cctype>
#include <cstdio>

#include "platform/posix/DriverProtocol.h"

namespace vlmudrv {

using nlohmann::json;

namespace {

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
    Fail(what + " is longer than " + std::to_string(kMaxStringUnits) +
         " characters (a string descriptor holds no more)");
}

void CheckPath(const std::string& path, const std::string& what) {
  if (path.size() > driverproto::kMaxPathLength)
    Fail(what + " is longer than " + std::to_string(driverproto::kMaxPathLength) + " bytes");
}

// String index of a DFU interface given with "dfu": true: real devices
// name their DFU interface.
constexpr uint8_t kDfuInterfaceString = 4;

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
  s.push_back(static_cast<char>(Get(i, "bInterfaceSubClass", 0x01, 255)));
  s.push_back(static_cast<char>(Get(i, "bInterfaceProtocol", dfuShorthand ? 1 : 0, 255)));
  s.push_back(static_cast<char>(Get(i, "iInterface", dfuShorthand ? kDfuInterfaceString : 0, 255)));
  while (s.size() < static_cast<size_t>(static_cast<uint8_t>(s[0]))) s.push_back('\0');  // bLength > 9
  if (i.contains("extra")) s += Bytes(i.at("extra"), "extra");
  s += body;
  if (dfuShorthand)
    s += FunctionalFromFields(i);
  else if (i.contains("dfuFunctional"))
    s += FunctionalFromFields(i.at("dfuFunctional"));
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
    interfaces.push_back(
        {{"bInterfaceNumber", 0}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", 1}, {"bInterfaceProtocol", 0x20}});
    interfaces.push_back(
        {{"bInterfaceNumber", 1}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", 2}, {"bInterfaceProtocol", 0x20}});
    interfaces.push_back(
        {{"bInterfaceNumber", 2}, {"bInterfaceClass", 1}, {"bInterfaceSubClass", 2}, {"bInterfaceProtocol", 0x20}});
  }
  interfaces.push_back(dfu);
  return {{"interfaces", interfaces}};
}

// String descriptors of a personality: the language table, the generated
// texts (the DFU interface's name where no other text has its index), the
// given texts, then the raw overrides.
std::map<uint8_t, std::string> ParseStrings(const json& o, const Personality& p, const Description& desc,
                                            bool dfuMode) {
  const std::string& device = p.deviceDescriptor;
  std::map<uint8_t, std::string> strings;
  std::string langs;
  langs.push_back(0);
  langs.push_back(3);
  const json languages = o.contains("languages") ? o.at("languages") : json::array({0x0409});
  for (const auto& l : languages) Put16(langs, Num(l, "language", 0xFFFF));
  langs[0] = static_cast<char>(langs.size());
  strings[0] = langs;
  const uint8_t iManufacturer = device.size() > 14 ? static_cast<uint8_t>(device[14]) : 0;
  const uint8_t iProduct = device.size() > 15 ? static_cast<uint8_t>(device[15]) : 0;
  const uint8_t iSerial = device.size() > 16 ? static_cast<uint8_t>(device[16]) : 0;
  if (iManufacturer != 0) strings[iManufacturer] = StringDescriptor("Velmora");
  if (iProduct != 0) strings[iProduct] = StringDescriptor(dfuMode ? "Velmora Audio (DFU)" : "Velmora Audio");
  if (iSerial != 0 && !desc.serialNumber.empty()) strings[iSerial] = StringDescriptor(desc.serialNumber);
  if (p.dfuInterfaceString != 0 && strings.count(p.dfuInterfaceString) == 0)
    strings[p.dfuInterfaceString] = StringDescriptor("Velmora DFU");
  if (o.contains("strings")) {
    for (const auto& [k, v] : o.at("strings").items()) {
      if (!v.is_string()) Fail("strings." + k + " must be a text");
      CheckStringText(v.get<std::string>(), "strings." + k);
      strings[static_cast<uint8_t>(Num(json(k), "string index", 255))] = StringDescriptor(v.get<std::string>());
    }
  }
  if (o.contains("rawStrings")) {
    for (const auto& [k, v] : o.at("rawStrings").items())
      strings[static_cast<uint8_t>(Num(json(k), "string index", 255))] = Bytes(v, "rawStrings." + k);
  }
  return strings;
}

Personality ParsePersonality(const json& p, const Description& desc, bool dfuMode, const json& dfuFields) {
  Personality out;
  if (!p.is_object() && !p.is_null()) Fail(std::string(dfuMode ? "dfu" : "runtime") + " must be an object");
  const json o = p.is_object() ? p : json::object();
  out.path = GetString(o, "path", "");
  CheckPath(out.path, std::string(dfuMode ? "dfu" : "runtime") + ".path");
  json configs =
      o.contains("configurations") ? o.at("configurations") : json::array({DefaultConfiguration(dfuMode, dfuFields)});
  if (!configs.is_array()) Fail("configurations must be an array");
  for (const auto& c : configs) {
    if (c.is_object() && c.contains("raw"))
      out.configurations.push_back(Bytes(c.at("raw"), "configuration raw"));
    else if (c.is_array() || c.is_string())
      out.configurations.push_back(Bytes(c, "configuration"));
    else
      out.configurations.push_back(ConfigurationFromFields(c));
  }
  const bool hasSerial = !desc.serialNumber.empty();
  if (o.contains("deviceRaw"))
    out.deviceDescriptor = Bytes(o.at("deviceRaw"), "deviceRaw");
  else
    out.deviceDescriptor =
        DeviceFromFields(o.value("device", json::object()), desc, out.configurations.size(), hasSerial);
  ScanDfu(out);
  out.strings = ParseStrings(o, out, desc, dfuMode);
  return out;
}

}  // namespace

std::string DefaultPath(uint16_t vid, uint16_t pid, const std::string& serial, const platform::Guid& guid) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "\\\\?\\usb#vid_%04x&pid_%04x#", vid, pid);
  return std::string(buf) + (serial.empty() ? std::string("0") : serial) + "#" + platform::GuidToString(guid, true);
}

std::string StringDescriptor(const std::string& text) {
  // UTF-8 to UTF-16LE (code points beyond the BMP become surrogate pairs).
  std::string s = {0, 3};
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c >> 5) == 6) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c >> 4) == 14) {
      cp = c & 0x0F;
      n = 3;
    } else {
      cp = c & 0x07;
      n = 4;
    }
    for (size_t k = 1; k < n && i + k < text.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
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
  p.dfuInterfaceString = 0;
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
          p.dfuInterfaceString = static_cast<uint8_t>(c[pos + 8]);
          inDfu = true;
        }
      } else if (type == 0x21 && inDfu && !p.hasFunctional && len >= 7) {
        p.hasFunctional = true;
        p.attributes = static_cast<uint8_t>(c[pos + 2]);
        p.detachTimeout =
            static_cast<uint16_t>(static_cast<uint8_t>(c[pos + 3]) | (static_cast<uint8_t>(c[pos + 4]) << 8));
        p.transferSize =
            static_cast<uint16_t>(static_cast<uint8_t>(c[pos + 5]) | (static_cast<uint8_t>(c[pos + 6]) << 8));
      }
      pos += len;
    }
    if (p.hasDfuInterface) return;
  }
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
    d.interfaceClass = platform::kVendorInterfaceClass;
    if (j.contains("interfaceClass") && !platform::GuidFromText(GetString(j, "interfaceClass", ""), d.interfaceClass))
      Fail("interfaceClass must be a braced GUID text");
    const json dfuFields = j.value("dfuInterface", json::object());
    d.runtime = ParsePersonality(j.value("runtime", json()), d, false, dfuFields);
    d.dfu = ParsePersonality(j.value("dfu", json()), d, true, dfuFields);
    const std::string path =
        GetString(j, "path", DefaultPath(d.vendorId, d.productId, d.serialNumber, d.interfaceClass));
    CheckPath(path, "path");
    if (d.runtime.path.empty()) d.runtime.path = path;
    if (d.dfu.path.empty()) d.dfu.path = d.runtime.path;
    d.behaviour = j.value("behaviour", json::object());
    if (j.contains("reenumerationMs") && !d.behaviour.contains("reenumerationMs"))
      d.behaviour["reenumerationMs"] = j.at("reenumerationMs");
    Behaviour b;
    return ParseBehaviour(d.behaviour, b, error);
  });
}

}  // namespace vlmudrv
