#pragma once
// JSON that comes from outside the service (control commands, description
// files): its limits, and the readers of typed fields that descriptions and
// behaviour knobs are built from. A reader throws BadInput with a message
// naming the field; Guarded turns that into `error` and false.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vlmudrv {

// Limits on JSON text from outside (control commands, description files).
// Descriptions nest about ten levels deep; the bound keeps every later walk
// of the parsed value (copies, dumps) far from the end of the stack.
inline constexpr size_t kMaxJsonDepth = 32;
inline constexpr size_t kMaxJsonText = 1024 * 1024;

// Parses JSON text of at most kMaxJsonText bytes nested at most kMaxJsonDepth
// levels; false with a message naming the line and column of a fault.
// `comments`: // and /* */ comments are allowed (files a person writes).
bool ParseJsonText(std::string_view text, nlohmann::json& out, std::string& error, bool comments = false);
// Reads and parses a JSON file a person writes (a description, the USB
// configuration; comments allowed): a regular file (a FIFO or device would
// block or never end) of at most kMaxJsonText bytes. False with a message
// (without the path) otherwise.
bool ReadJsonFile(const std::string& path, nlohmann::json& out, std::string& error);

struct BadInput : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& message);

// Numbers may be JSON integers or texts like "0x1234"; at most `max`.
uint64_t Num(const nlohmann::json& v, const std::string& what, uint64_t max);
// The field `key` of an object read with Num; `def` when it is missing (or
// `o` is not an object).
uint64_t Get(const nlohmann::json& o, const char* key, uint64_t def, uint64_t max);
bool GetBool(const nlohmann::json& o, const char* key, bool def);
std::string GetString(const nlohmann::json& o, const char* key, const std::string& def);
// Byte arrays: [18, 1, ...] or a hex text "12 01 00 02 ...".
std::string Bytes(const nlohmann::json& v, const std::string& what);
// "a, b or c": the values a field may take, for its message.
std::string Alternatives(std::initializer_list<const char*> values);

// Runs a parse step; a malformed input becomes `error` and false.
template <class Body>
bool Guarded(std::string& error, Body&& body) {
  try {
    return body();
  } catch (const BadInput& e) {
    error = e.what();
  } catch (const nlohmann::json::exception& e) {
    error = e.what();
  }
  return false;
}

}  // namespace vlmudrv
