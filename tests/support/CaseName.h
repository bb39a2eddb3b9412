#pragma once
// How the cases of a parameterized test print in the test list: a case with
// a `name` field prints as that name instead of "GetParam() = 40-byte object
// <00-35 EB-2E ...>". A test file makes it visible with
// `using testsupport::PrintTo;` in the namespace of its case type.
#include <ostream>

namespace testsupport {

template <typename Case>
requires requires(const Case& c) { *static_cast<std::ostream*>(nullptr) << c.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

}  // namespace testsupport
