// Storage of the images a simulated device receives: bytes kept exactly
// through growth by blocks, across the size from which blocks are mapped for
// huge pages, through swaps and clears.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ImageBytes.h"

namespace drvtest {
namespace {

using vlmudrv::ImageAllocator;
using vlmudrv::ImageBytes;

std::string Block(size_t size, uint32_t seed) {
  std::string b(size, '\0');
  for (char& c : b) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return b;
}

TEST(ImageBytes, BlocksAppendedAcrossTheMappedSizeKeepEveryByte) {
  ImageBytes image;
  std::string expected;
  // 4 KiB blocks up to 5 MiB: heap storage first, then mapped blocks of growing size.
  for (uint32_t i = 0; i < 1280; ++i) {
    const std::string block = Block(4096, i);
    image += block;
    expected += block;
    if (image.capacity() >= ImageAllocator<char>::kMappedFrom) {
      const auto address = reinterpret_cast<uintptr_t>(image.data());
      ASSERT_EQ(address % ImageAllocator<char>::kHugePage, 0u) << "mapped storage is aligned for huge pages";
    }
  }
  ASSERT_EQ(image.size(), expected.size());
  EXPECT_TRUE(std::string_view(image) == expected);
}

TEST(ImageBytes, SwapHandsOverTheImageAndClearKeepsTheMemory) {
  ImageBytes receiving, firmware;
  const std::string first = Block(3u << 20, 7);
  receiving += first;
  firmware.swap(receiving);
  receiving.clear();
  EXPECT_TRUE(std::string_view(firmware) == first);
  EXPECT_TRUE(receiving.empty());
  const std::string second = Block(3u << 20, 8);
  receiving += second;
  EXPECT_TRUE(std::string_view(firmware) == first) << "the kept image is untouched by the next download";
  EXPECT_TRUE(std::string_view(receiving) == second);
  firmware.swap(receiving);
  receiving.clear();
  EXPECT_TRUE(std::string_view(firmware) == second);
  const size_t kept = receiving.capacity();
  EXPECT_GE(kept, first.size()) << "the old image's memory serves the next download";
  receiving += Block(1u << 20, 9);
  EXPECT_EQ(receiving.capacity(), kept) << "no new memory while it fits";
}

TEST(ImageBytes, SmallAndEmptyImages) {
  ImageBytes image;
  EXPECT_TRUE(image.empty());
  image += std::string_view("UFD", 3);
  EXPECT_EQ(image.compare(0, 3, "UFD"), 0);
  image.clear();
  image.shrink_to_fit();
  EXPECT_TRUE(image.empty());
  ImageBytes copy = image;
  EXPECT_TRUE(copy.empty());
}

}  // namespace
}  // namespace drvtest
