#pragma once
// What the image reader must put into a VLMUFWDL_VLD_FILE_INFO record for
// an image built from testimages::Params: every field, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/TestImages.h"
#include "vlmufwdl.h"

namespace testimages {

inline void ExpectRecordOf(const Params& p, const VLMUFWDL_VLD_FILE_INFO& info) {
  EXPECT_EQ(info.HeaderValue, p.headerValue);
  EXPECT_EQ(info.ModelId, p.modelId);
  EXPECT_EQ(info.SoftwareVersion, p.softwareVersion);
  EXPECT_EQ(info.HwId, p.hwId);
  // Eight date characters, six time characters and the two bytes after them, then zeros.
  EXPECT_EQ(std::string(info.SoftwareDate, 12), p.date + std::string(12 - p.date.size(), '\0'));
  EXPECT_EQ(std::string(info.SoftwareTime, 12),
            p.time + std::string(reinterpret_cast<const char*>(p.timeTrailer), 2) + std::string(4, '\0'));
  // Header bytes 36, 37, 38 appear most significant first.
  EXPECT_EQ(info.VendorId[0], p.vendor[2]);
  EXPECT_EQ(info.VendorId[1], p.vendor[1]);
  EXPECT_EQ(info.VendorId[2], p.vendor[0]);
  EXPECT_EQ(std::string(info.InfoText), p.info);
  for (std::size_t i = p.info.size(); i < sizeof info.InfoText; ++i) ASSERT_EQ(info.InfoText[i], 0) << i;
  EXPECT_EQ(info.Reserved, 0);
}

}  // namespace testimages
