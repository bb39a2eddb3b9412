#pragma once
// INI ("private profile") files with the semantics of the system's profile
// functions: sections and keys are matched without regard to case, values are
// trimmed of surrounding blanks (and of one pair of enclosing quotes), a
// missing file, section or key reads the default. Writing changes only the
// one line of the key (or inserts it), leaving every other line of the file
// exactly as it was.
#include <string>

namespace platform {

// The value of `key` in `section` of `fileName`, or `defaultValue`.
std::string ReadProfileValue(const char* section, const char* key, const char* defaultValue, const char* fileName);

// Sets `key` in `section` to `value`: the key's line is replaced in place, or
// the key is added at the end of its section, or the section is added at the
// end of the file. The file is created when missing. Returns false when the
// file cannot be read or written.
bool WriteProfileValue(const char* section, const char* key, const char* value, const char* fileName);

// Text-level forms of the two operations, used by the file functions above.
std::string ProfileLookup(const std::string& content, const char* section, const char* key, const char* defaultValue);
// `newLine` is the line end used for inserted lines when the content has none.
std::string ProfileUpdate(const std::string& content, const char* section, const char* key, const char* value,
                          const char* newLine);

}  // namespace platform
