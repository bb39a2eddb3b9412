// Text forms of vlmu-flash: serial numbers from UTF-16, id columns, progress
// lines, rates, durations and exit statuses.
#include <gtest/gtest.h>

#include "FlashText.h"

namespace {

using namespace vlmuflash;

TEST(FlashText, Utf16SerialNumbers) {
  const uint16_t ascii[] = {'S', 'N', '0', '1', 0, 'X'};
  EXPECT_EQ("SN01", Utf16ToUtf8(ascii, 6));
  const uint16_t unterminated[] = {'A', 'B', 'C'};
  EXPECT_EQ("AB", Utf16ToUtf8(unterminated, 2));
  const uint16_t latin[] = {0x00E9, 0x20AC, 0};  // é €
  EXPECT_EQ("\xC3\xA9\xE2\x82\xAC", Utf16ToUtf8(latin, 3));
  const uint16_t pair[] = {0xD83D, 0xDE00, 0};  // U+1F600
  EXPECT_EQ("\xF0\x9F\x98\x80", Utf16ToUtf8(pair, 3));
  const uint16_t lone[] = {0xD83D, 'x', 0xDC00, 0};
  EXPECT_EQ("\xEF\xBF\xBDx\xEF\xBF\xBD", Utf16ToUtf8(lone, 4));
  const uint16_t highAtEnd[] = {'a', 0xD800};
  EXPECT_EQ("a\xEF\xBF\xBD", Utf16ToUtf8(highAtEnd, 2));
}

TEST(FlashText, IdColumnsOfTheUpgradeProgram) {
  EXPECT_EQ("4660 / 22136", FormatIds(0x1234, 0x5678));
  EXPECT_EQ("0001 / 0042", FormatIds(1, 42));
  EXPECT_EQ("65535 / 0000", FormatIds(0xFFFF, 0));
}

TEST(FlashText, PercentNeverExceeds100AndSurvivesLargeCounts) {
  EXPECT_EQ(0u, Percent({0, 0, 0}));
  EXPECT_EQ(40u, Percent({4000, 10000, 1}));
  EXPECT_EQ(100u, Percent({10000, 10000, 1}));
  EXPECT_EQ(100u, Percent({20000, 10000, 1}));
  EXPECT_EQ(50u, Percent({0x7FFFFFFFu, 0xFFFFFFFEu, 1}));
}

TEST(FlashText, ProgressLines) {
  EXPECT_EQ("[#####-----]       5000 / 10000 bytes  50%  5.0 kB/s  0:01 left", ProgressBarLine({5000, 10000, 1.0}, 10));
  EXPECT_EQ("[----------]          0 / 10000 bytes   0%  -- B/s  --:-- left", ProgressBarLine({0, 10000, 0.0}, 10));
  EXPECT_EQ("[##########]      10000 / 10000 bytes 100%  2.00 MB/s  0:00 left",
            ProgressBarLine({10000, 10000, 0.005}, 10));
  EXPECT_EQ("[----------]          0 / 0 bytes   0%  -- B/s  --:-- left", ProgressBarLine({0, 0, 3.0}, 10));
  EXPECT_EQ("40960 / 65536 bytes (62%)", ProgressPlainLine({40960, 65536, 2.0}));
}

TEST(FlashText, RatesAndDurations) {
  EXPECT_EQ("512 B/s", FormatRate(512));
  EXPECT_EQ("1.5 kB/s", FormatRate(1500));
  EXPECT_EQ("52.43 MB/s", FormatRate(52428800));
  EXPECT_EQ("-- B/s", FormatRate(0));
  EXPECT_EQ("0:00", FormatDuration(0));
  EXPECT_EQ("0:01", FormatDuration(0.2));
  EXPECT_EQ("1:05", FormatDuration(65));
  EXPECT_EQ("1:00:00", FormatDuration(3600));
  EXPECT_EQ("--:--", FormatDuration(-1));
  EXPECT_EQ("--:--", FormatDuration(1e12));
}

TEST(FlashText, ExitStatusNeverTurnsAFailureIntoSuccess) {
  EXPECT_EQ(0, ExitStatusFor(0));
  EXPECT_EQ(19, ExitStatusFor(19));
  EXPECT_EQ(48, ExitStatusFor(48));
  EXPECT_EQ(255, ExitStatusFor(256));  // would be 0 as an 8-bit exit status
  EXPECT_EQ(255, ExitStatusFor(0xE0000013));
  EXPECT_EQ(255, ExitStatusFor(0xE0000100));
}

}  // namespace
