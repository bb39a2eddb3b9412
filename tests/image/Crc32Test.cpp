// The CRC-32 of the image reader against known values and against zlib.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image/Crc32.h"

namespace {

uint32_t BitwiseTableEntry(uint32_t i) {
  uint32_t r = i;
  for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  return r;
}

uint32_t Zlib(const unsigned char* data, std::size_t size) {
  return static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(size)));
}

TEST(Crc32, TableIsBuiltFromThePolynomial) {
  const uint32_t* table = Crc32::Table();
  for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(table[i], BitwiseTableEntry(i)) << i;
}

TEST(Crc32, CheckValueOf123456789) {
  const char text[] = "123456789";
  EXPECT_EQ(Crc32::Checksum(text, 9), 0xCBF43926u);
  // The DFU form is the same register without the final inversion.
  EXPECT_EQ(Crc32::DfuRegister(text, 9), 0xCBF43926u ^ 0xFFFFFFFFu);
  EXPECT_EQ(Crc32::Checksum(text, 0), 0u);
  EXPECT_EQ(Crc32::DfuRegister(text, 0), 0xFFFFFFFFu);
}

TEST(Crc32, MatchesZlibForEveryAlignmentAndLength) {
  std::mt19937 rng(1234);
  std::vector<unsigned char> data(70000);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  // Lengths around the 8-byte alignment and the 16-byte steps.
  for (std::size_t start = 0; start < 16; ++start) {
    for (std::size_t length = 0; length < 700; ++length) {
      const unsigned char* p = data.data() + start;
      const uint32_t expected = Zlib(p, length);
      ASSERT_EQ(Crc32::Checksum(p, length), expected) << "start " << start << " length " << length;
    }
  }
  EXPECT_EQ(Crc32::Checksum(data.data() + 3, 69990), Zlib(data.data() + 3, 69990));
}

TEST(Crc32, AnyStartRegisterMatchesZlibChaining) {
  std::mt19937 rng(77);
  std::vector<unsigned char> data(5000);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (const std::size_t head : {std::size_t{1}, std::size_t{100}, std::size_t{999}}) {
    const uint32_t reg = Crc32::Update(0xFFFFFFFFu, data.data(), head);
    EXPECT_EQ(Crc32::Update(reg, data.data() + head, data.size() - head) ^ 0xFFFFFFFFu, Zlib(data.data(), data.size()))
        << head;
  }
}

TEST(Crc32, PiecesChainToTheWholeRegister) {
  std::mt19937 rng(99);
  std::vector<unsigned char> data(10007);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  const uint32_t whole = Crc32::DfuRegister(data.data(), data.size());
  for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{4096},
                                std::size_t{10006}, std::size_t{10007}}) {
    uint32_t r = Crc32::Update(Crc32::kInitialRegister, data.data(), cut);
    r = Crc32::Update(r, data.data() + cut, data.size() - cut);
    EXPECT_EQ(r, whole) << cut;
  }
}

}  // namespace
