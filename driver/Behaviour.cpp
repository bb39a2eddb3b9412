#include "Behaviour.h"

#include <type_traits>

#include "JsonInput.h"

namespace vlmudrv {

using nlohmann::json;

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
  static const char* names[] = {"OK",      "errTARGET", "errFILE",    "errWRITE",     "errERASE",    "errCHECK_ERASED",
                                "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE",   "errFIRMWARE", "errVENDOR",
                                "errUSBR", "errPOR",    "errUNKNOWN", "errSTALLEDPKT"};
  for (int i = 0; i < 16; ++i)
    if (name == names[i]) return i;
  return -1;
}

std::string ScriptRequestName(uint32_t type, uint8_t bRequest) {
  static const char* dfu[] = {"DFU_DETACH",    "DFU_DNLOAD",   "DFU_UPLOAD", "DFU_GETSTATUS",
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

// One entry of a request's script; `where` names the script in messages.
ScriptEntry ParseScriptEntry(const json& e, const std::string& where) {
  if (!e.is_object()) Fail(where + " entries must be objects");
  static const char* known[] = {"action",      "repeat", "inState", "state", "status",
                                "pollTimeout", "enter",  "reply",   "error"};
  for (const auto& [k, v] : e.items()) {
    bool ok = false;
    for (const char* n : known) ok = ok || k == n;
    if (!ok) Fail(where + ": unknown field \"" + std::string(k) + '"');
  }
  ScriptEntry s;
  s.repeat = static_cast<uint32_t>(Get(e, "repeat", 1, 1000000));
  if (s.repeat == 0) Fail(where + ": repeat counts from 1");
  if (e.contains("inState")) s.inState = StateOrStatus(e.at("inState"), "inState", true);
  if (e.contains("state")) s.state = StateOrStatus(e.at("state"), "state", true);
  if (e.contains("status")) s.status = StateOrStatus(e.at("status"), "status", false);
  if (e.contains("pollTimeout"))
    s.pollTimeout = static_cast<int64_t>(Num(e.at("pollTimeout"), "pollTimeout", 0xFFFFFF));
  s.enter = GetBool(e, "enter", false);
  if (e.contains("reply")) {
    s.reply = Bytes(e.at("reply"), where + ".reply");
    s.hasReply = true;
  }
  s.error = static_cast<uint32_t>(Get(e, "error", 31, 0xFFFFFFFF));
  const bool replyFields = s.hasReply || s.state >= 0 || s.status >= 0 || s.pollTimeout >= 0;
  s.action = GetString(e, "action", replyFields ? "reply" : "pass");
  if (s.action != "pass" && s.action != "reply" && s.action != "ack" && s.action != "stall" && s.action != "error")
    Fail(where + ": action must be " + Alternatives({"pass", "reply", "ack", "stall", "error"}));
  return s;
}

std::vector<ScriptEntry> ParseScript(const std::string& name, const json& list) {
  if (!list.is_array()) Fail("script." + name + " must be an array");
  constexpr size_t kMaxEntries = 1024;
  if (list.size() > kMaxEntries) Fail("script." + name + " has more than " + std::to_string(kMaxEntries) + " entries");
  std::vector<ScriptEntry> out;
  for (const json& e : list) out.push_back(ParseScriptEntry(e, "script." + name));
  return out;
}

Fault ParseFault(const json& f) {
  Fault fault;
  fault.request = Get(f, "request", 0, UINT64_MAX);
  fault.bRequest = f.contains("bRequest") ? static_cast<int>(Num(f.at("bRequest"), "bRequest", 255)) : -1;
  fault.occurrence = static_cast<uint32_t>(Get(f, "occurrence", 1, 0xFFFFFFFF));
  fault.action = GetString(f, "action", "stall");
  if (fault.action != "stall" && fault.action != "error" && fault.action != "delay" && fault.action != "hang" &&
      fault.action != "unplug")
    Fail("fault action must be " + Alternatives({"stall", "error", "delay", "hang", "unplug"}));
  fault.error = static_cast<uint32_t>(Get(f, "error", 31, 0xFFFFFFFF));
  fault.delayMs = Get(f, "delayMs", 0, 3600000);
  if (fault.request == 0 && fault.bRequest < 0) Fail("a fault needs \"request\" or \"bRequest\"");
  if (fault.occurrence == 0) Fail("fault occurrence counts from 1");
  return fault;
}

// One behaviour knob: its name, how its value is read, and the largest
// number it takes (numeric knobs). A new knob is one row of kKnobs.
struct Knob {
  const char* name;
  void (*parse)(const Knob& knob, const json& value, Behaviour& b);
  uint64_t max = 0;
};

bool FlagValue(const Knob& k, const json& v) {
  if (!v.is_boolean()) Fail(std::string(k.name) + " must be true or false");
  return v.get<bool>();
}

std::string TextValue(const Knob& k, const json& v) {
  if (!v.is_string()) Fail(std::string(k.name) + " must be a string");
  return v.get<std::string>();
}

std::string ChoiceValue(const Knob& k, const json& v, std::initializer_list<const char*> allowed) {
  std::string text = TextValue(k, v);
  for (const char* a : allowed)
    if (text == a) return text;
  Fail(std::string(k.name) + " must be " + Alternatives(allowed));
}

template <auto Member>
void Flag(const Knob& k, const json& v, Behaviour& b) {
  b.*Member = FlagValue(k, v);
}

// null: back to what the descriptors say.
template <auto Member>
void OptionalFlag(const Knob& k, const json& v, Behaviour& b) {
  if (v.is_null())
    (b.*Member).reset();
  else
    b.*Member = FlagValue(k, v);
}

// A number from 0 to the knob's max.
template <auto Member>
void Count(const Knob& k, const json& v, Behaviour& b) {
  using T = std::remove_reference_t<decltype(b.*Member)>;
  b.*Member = static_cast<T>(Num(v, k.name, k.max));
}

template <auto Member>
void Text(const Knob& k, const json& v, Behaviour& b) {
  b.*Member = TextValue(k, v);
}

void InitialState(const Knob& k, const json& v, Behaviour& b) {
  b.initialState = ChoiceValue(k, v, {"appIDLE", "appDETACH", "dfuIDLE", "dfuERROR"});
}

void FinalReset(const Knob& k, const json& v, Behaviour& b) {
  b.finalReset = ChoiceValue(k, v, {"appIDLE", "noStatus", "dfuERROR", "dfuIDLE"});
}

void RuntimeStatus(const Knob& k, const json& v, Behaviour& b) {
  b.runtimeStatusStall = ChoiceValue(k, v, {"answer", "stall"}) == "stall";
}

// One number for every state, or numbers by state name.
void PollTimeout(const Knob& k, const json& v, Behaviour& b) {
  if (!v.is_object()) {
    const auto all = static_cast<uint32_t>(Num(v, k.name, k.max));
    for (uint8_t st = 0; st <= 10; ++st) b.pollTimeout[st] = all;
    return;
  }
  for (const auto& [state, ms] : v.items()) {
    const int st = DfuStateFromName(state);
    if (st < 0) Fail(std::string(k.name) + ": unknown DFU state " + state);
    b.pollTimeout[static_cast<uint8_t>(st)] = static_cast<uint32_t>(Num(ms, k.name, k.max));
  }
}

// null or a negative number: no error block.
void ErrorAtBlock(const Knob& k, const json& v, Behaviour& b) {
  const bool none = v.is_null() || (v.is_number_integer() && v.get<int64_t>() < 0);
  b.errorAtBlock = none ? -1 : static_cast<int64_t>(Num(v, k.name, k.max));
}

// null: from the image's DFU suffix.
void NewBcdDevice(const Knob& k, const json& v, Behaviour& b) {
  if (v.is_null())
    b.newBcdDevice.reset();
  else
    b.newBcdDevice = static_cast<uint16_t>(Num(v, k.name, k.max));
}

void Faults(const Knob& k, const json& v, Behaviour& b) {
  if (!v.is_array()) Fail(std::string(k.name) + " must be an array");
  b.faults.clear();
  for (const auto& f : v) b.faults.push_back(ParseFault(f));
}

void Script(const Knob&, const json& v, Behaviour& b) {
  if (!v.is_object()) Fail("script must be an object of request names");
  b.script.clear();
  static const char* requests[] = {"DFU_DETACH",        "DFU_DNLOAD",       "DFU_UPLOAD", "DFU_GETSTATUS",
                                   "DFU_CLRSTATUS",     "DFU_GETSTATE",     "DFU_ABORT",  "VENDOR_DETACH",
                                   "VENDOR_SET_SERIAL", "VENDOR_GET_SERIAL"};
  for (const auto& [name, entries] : v.items()) {
    bool ok = false;
    for (const char* n : requests) ok = ok || name == n;
    if (!ok) Fail("script: unknown request \"" + name + "\"");
    b.script[name] = ParseScript(name, entries);
  }
}

constexpr uint64_t kMaxPolls = 1000000;
constexpr uint64_t kMaxMs = 3600000;

// Read in this order (a value may only be refused after the ones before it).
const Knob kKnobs[] = {
    {"initialState", InitialState},
    {"dfuOnly", Flag<&Behaviour::dfuOnly>},
    {"runtimeStatus", RuntimeStatus},
    {"stayInAppIdleAfterDetach", Flag<&Behaviour::stayInAppIdleAfterDetach>},
    {"willDetach", OptionalFlag<&Behaviour::willDetach>},
    {"manifestationTolerant", OptionalFlag<&Behaviour::manifestationTolerant>},
    {"detachDelayMs", Count<&Behaviour::detachDelayMs>, kMaxMs},
    {"reenumerationMs", Count<&Behaviour::reenumerationMs>, kMaxMs},
    {"neverReturn", Flag<&Behaviour::neverReturn>},
    {"pollTimeout", PollTimeout, 0xFFFFFF},
    {"syncPolls", Count<&Behaviour::syncPolls>, kMaxPolls},
    {"busyPolls", Count<&Behaviour::busyPolls>, kMaxPolls},
    {"enforcePollTimeout", Flag<&Behaviour::enforcePollTimeout>},
    {"manifestSyncPolls", Count<&Behaviour::manifestSyncPolls>, kMaxPolls},
    {"manifestPolls", Count<&Behaviour::manifestPolls>, kMaxPolls},
    {"manifestTimeMs", Count<&Behaviour::manifestTimeMs>, kMaxMs},
    {"answerInManifest", Flag<&Behaviour::answerInManifest>},
    {"errorAtBlock", ErrorAtBlock, 0xFFFFFFFF},
    {"finalReset", FinalReset},
    {"statusLength", Count<&Behaviour::statusLength>, 64},
    {"newBcdDevice", NewBcdDevice, 0xFFFF},
    {"checkBlockNumbers", Flag<&Behaviour::checkBlockNumbers>},
    {"faults", Faults},
    {"maxSerialLength", Count<&Behaviour::maxSerialLength>, 0xFFFF},
    {"storedSerial", Text<&Behaviour::storedSerial>},
    {"serialInDescriptor", Flag<&Behaviour::serialInDescriptor>},
    {"script", Script},
    {"openFailures", Count<&Behaviour::openFailures>, kMaxPolls},
    {"detachExpires", Flag<&Behaviour::detachExpires>},
};

bool IsKnob(const std::string& name) {
  for (const Knob& k : kKnobs)
    if (name == k.name) return true;
  return false;
}

}  // namespace

bool ParseBehaviour(const json& j, Behaviour& b, std::string& error) {
  return Guarded(error, [&] {
    if (!j.is_object()) Fail("behaviour must be an object");
    for (const auto& [name, value] : j.items())
      if (!IsKnob(name)) Fail("unknown behaviour knob \"" + name + "\"");
    for (const Knob& k : kKnobs)
      if (j.contains(k.name)) k.parse(k, j.at(k.name), b);
    return true;
  });
}

std::vector<std::string> BehaviourKnobNames() {
  std::vector<std::string> names;
  for (const Knob& k : kKnobs) names.emplace_back(k.name);
  return names;
}

}  // namespace vlmudrv
