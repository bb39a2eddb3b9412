// Pieces of the driver service tested on their own: the request layouts and
// checks both device sources share, and the behaviour knob table against its
// documentation.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Behaviour.h"
#include "IoRequestLayout.h"
#include "driver/DriverTestUtil.h"
#include "support/BuildPaths.h"
#include "support/TempDir.h"

namespace drvtest {
namespace {

// Every malformed input is refused before a device sees it, with the code the
// vendor driver gives; well-formed ones pass.
TEST(IoRequestLayout, RequestsAreCheckedByCodeAndLength) {
  const std::string in2 = ControlRequest(0, 2, 1, 0x83, 0, 0, 2, "ab");
  struct Row {
    const char* what;
    uint32_t code;
    std::string in;
    uint32_t expected;
  } rows[] = {
      {"descriptor", kIoctlGetDescriptor, DescriptorRequest(1, 0), 0},
      {"descriptor too short", kIoctlGetDescriptor, DescriptorRequest(1, 0).substr(1), kErrorInvalidParameter},
      {"device-to-host", kIoctlControlRequest, ControlRequest(1, 1, 1, 3, 0, 0, 6), 0},
      {"device-to-host with data", kIoctlControlRequest, ControlRequest(1, 1, 1, 3, 0, 0, 6, "x"),
       kErrorInvalidParameter},
      {"host-to-device", kIoctlControlRequest, in2, 0},
      {"host-to-device short of wLength", kIoctlControlRequest, in2.substr(0, 17), kErrorInvalidParameter},
      {"header short", kIoctlControlRequest, in2.substr(0, 15), kErrorInvalidParameter},
      {"direction 2", kIoctlControlRequest, ControlRequest(2, 1, 1, 3, 0, 0, 0), kErrorInvalidParameter},
      {"type 3", kIoctlControlRequest, ControlRequest(1, 3, 1, 3, 0, 0, 0), kErrorInvalidParameter},
      {"recipient 4", kIoctlControlRequest, ControlRequest(1, 1, 4, 3, 0, 0, 0), kErrorInvalidParameter},
      {"cycle port", kIoctlCyclePort, "", 0},
      {"cycle port with input", kIoctlCyclePort, "x", kErrorInvalidParameter},
      {"unknown code", kIoctlCyclePort + 4, "", kErrorInvalidFunction},
  };
  for (const Row& row : rows) EXPECT_EQ(vlmudrv::CheckIoRequest({row.code, row.in, 64}), row.expected) << row.what;

  const auto s = vlmudrv::ControlSetup::Read(ControlRequest(1, 2, 3, 0x84, 0x1234, 0x5678, 0x9abc));
  EXPECT_EQ(std::vector<uint32_t>({s.direction, s.type, s.recipient, s.bRequest, s.wValue, s.wIndex, s.wLength}),
            std::vector<uint32_t>({1, 2, 3, 0x84, 0x1234, 0x5678, 0x9abc}));
  const auto d = vlmudrv::DescriptorRequest::Read(DescriptorRequest(3, 2, 0x0409));
  EXPECT_EQ(std::vector<uint32_t>({d.reserved, d.type, d.index, d.languageId}),
            std::vector<uint32_t>({0, 3, 2, 0x0409}));
}

// The knobs the description parser reads are the rows of the knob table in
// docs/device-description.md.
TEST(BehaviourKnobs, EveryKnobIsDocumentedAndEveryDocumentedKnobIsRead) {
  const std::string doc = testsupport::ReadFile(testsupport::SourceDir() + "/docs/device-description.md");
  const size_t table = doc.find("## Behaviour knobs");
  ASSERT_NE(table, std::string::npos);
  std::vector<std::string> documented;
  for (size_t at = doc.find("\n| `", table); at < doc.find("\n## ", table + 1); at = doc.find("\n| `", at + 1)) {
    const size_t start = at + 4;
    documented.push_back(doc.substr(start, doc.find('`', start) - start));
  }
  std::vector<std::string> read = vlmudrv::BehaviourKnobNames();
  std::sort(documented.begin(), documented.end());
  std::sort(read.begin(), read.end());
  EXPECT_EQ(documented, read);
}

}  // namespace
}  // namespace drvtest
