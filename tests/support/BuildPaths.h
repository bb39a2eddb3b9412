#pragma once
// Where the tests find the build's programs and the source tree's files.
// Only this helper's object knows the two folders, so that no test object
// carries a clone's absolute paths (a compiler cache then serves every
// clone).
#include <string>

namespace testsupport {

std::string BuildDir();     // the build tree
std::string SourceDir();    // the source tree
std::string FlashBinary();  // vlmu-flash of the build tree

}  // namespace testsupport
