#include "image/Crc32.h"

#include <array>

namespace {

// Slicing-by-8: table 0 is the plain byte table; table k gives the effect of
// a byte followed by k zero bytes, so eight bytes are folded in per step.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables BuildTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ Crc32::kPolynomial : r >> 1;
    t[0][i] = r;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = BuildTables();

static_assert(kTables[0][1] == 0x77073096u, "CRC-32 table entry 1");
static_assert(kTables[0][255] == 0x2D02EF8Du, "CRC-32 table entry 255");

inline uint32_t LoadLe32(const unsigned char* p) noexcept {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

const uint32_t* Crc32::Table() noexcept { return kTables[0].data(); }

uint32_t Crc32::Update(uint32_t crcRegister, const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t r = crcRegister;
  // Byte steps until the pointer is 8-byte aligned, then eight bytes a step.
  while (size != 0 && (reinterpret_cast<std::uintptr_t>(p) & 7u) != 0) {
    r = (r >> 8) ^ kTables[0][(r ^ *p++) & 0xFFu];
    --size;
  }
  while (size >= 8) {
    const uint32_t lo = LoadLe32(p) ^ r;
    const uint32_t hi = LoadLe32(p + 4);
    r = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^ kTables[5][(lo >> 16) & 0xFFu] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
        kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
    p += 8;
    size -= 8;
  }
  while (size-- != 0) r = (r >> 8) ^ kTables[0][(r ^ *p++) & 0xFFu];
  return r;
}

