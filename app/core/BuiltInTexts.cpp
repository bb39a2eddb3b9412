// The program's texts where the system has no string table resources: the
// built-in table.
#include "StringTable.h"

namespace vlmapp {

std::string LoadText(uint32_t id) { return std::string(BuiltInText(id)); }

}  // namespace vlmapp
