// The status table of the public header: every value the library defines has
// its name and its words, no other value has either.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "vlmufwdl.h"

namespace {

struct NamedStatus {
  uint32_t value;
  const char* name;
};

// The values as callers see them documented; a renumbered or renamed
// constant fails here.
constexpr NamedStatus kStatuses[] = {
    {0, "VLMUFWDL_STATUS_SUCCESS"},
    {1, "VLMUFWDL_STATUS_VLD_FILE_STATE"},
    {2, "VLMUFWDL_STATUS_INVALID_PARAMETER"},
    {3, "VLMUFWDL_STATUS_FILE_OPEN_FAILED"},
    {4, "VLMUFWDL_STATUS_FILE_READ_FAILED"},
    {5, "VLMUFWDL_STATUS_FILE_FORMAT"},
    {6, "VLMUFWDL_STATUS_HEADER_CRC"},
    {10, "VLMUFWDL_STATUS_ENUMERATION_FAILED"},
    {13, "VLMUFWDL_STATUS_INVALID_DEVICE_INDEX"},
    {14, "VLMUFWDL_STATUS_DEVICE_OPEN_FAILED"},
    {15, "VLMUFWDL_STATUS_NO_DEVICE_OPEN"},
    {16, "VLMUFWDL_STATUS_DEVICE_ALREADY_OPEN"},
    {18, "VLMUFWDL_STATUS_DESCRIPTOR_REQUEST"},
    {19, "VLMUFWDL_STATUS_REQUEST_FAILED"},
    {23, "VLMUFWDL_STATUS_LOG_FILE"},
    {24, "VLMUFWDL_STATUS_REPLUG_TIMEOUT"},
    {26, "VLMUFWDL_STATUS_BLOCK_POLL_TIMEOUT"},
    {27, "VLMUFWDL_STATUS_MANIFEST_POLL_TIMEOUT"},
    {28, "VLMUFWDL_STATUS_INVALID_TIMEOUT_SELECTOR"},
    {31, "VLMUFWDL_STATUS_DFU_MODE_FAILED"},
    {35, "VLMUFWDL_STATUS_DOWNLOAD_IN_PROGRESS"},
    {36, "VLMUFWDL_STATUS_DOWNLOAD_RUNNING"},
    {45, "VLMUFWDL_STATUS_DOWNLOAD_NOT_SUPPORTED"},
    {46, "VLMUFWDL_STATUS_UNEXPECTED_DFU_STATE"},
    {47, "VLMUFWDL_STATUS_INVALID_DESCRIPTOR"},
    {48, "VLMUFWDL_STATUS_DFU_SUFFIX_CRC"},
};

TEST(StatusName, EveryDefinedValueHasItsNameAndItsOwnWords) {
  std::set<std::string> texts;
  for (const NamedStatus& s : kStatuses) {
    EXPECT_STREQ(VLMUFWDL_StatusName(s.value), s.name) << s.value;
    const std::string text = VLMUFWDL_StatusText(s.value);
    EXPECT_NE(text, "unknown status") << s.name;
    EXPECT_TRUE(texts.insert(text).second) << "words of " << s.name << " repeat another status";
  }
}

TEST(StatusName, NoOtherValueIsNamed) {
  std::set<uint32_t> defined;
  for (const NamedStatus& s : kStatuses) defined.insert(s.value);
  for (uint32_t value = 0; value < 0x200; ++value) {
    if (defined.count(value) != 0) continue;
    EXPECT_STREQ(VLMUFWDL_StatusName(value), "VLMUFWDL_STATUS_UNKNOWN") << value;
    EXPECT_STREQ(VLMUFWDL_StatusText(value), "unknown status") << value;
  }
  // Codes of the device access layer and the download status the upgrade
  // program treats as success are not library statuses.
  for (const uint32_t value : {40u, 0xE0000020u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(VLMUFWDL_StatusName(value), "VLMUFWDL_STATUS_UNKNOWN") << value;
  }
}

}  // namespace
