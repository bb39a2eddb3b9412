#include "image/Crc32.h"
#include "platform/ByteOrder.h"

#include <array>

namespace {

// Slicing-by-16: table 0 is the plain byte table; table k gives the effect
// of a byte followed by k zero bytes, so sixteen bytes are folded in per step
// with independent lookups (16 KiB of tables, which stay in the L1 cache).
constexpr std::size_t kSlices = 16;
using Tables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr Tables BuildTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ Crc32::kPolynomial : r >> 1;
    t[0][i] = r;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < kSlices; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = BuildTables();

static_assert(kTables[0][1] == 0x77073096u, "CRC-32 table entry 1");
static_assert(kTables[0][255] == 0x2D02EF8Du, "CRC-32 table entry 255");

using platform::LoadLe32;

uint32_t UpdateTables(uint32_t r, const unsigned char* p, std::size_t size) noexcept {
  // Byte steps until the pointer is 8-byte aligned, then sixteen bytes a step.
  while (size != 0 && (reinterpret_cast<std::uintptr_t>(p) & 7u) != 0) {
    r = (r >> 8) ^ kTables[0][(r ^ *p++) & 0xFFu];
    --size;
  }
  while (size >= kSlices) {
    const uint32_t a = LoadLe32(p) ^ r;
    const uint32_t b = LoadLe32(p + 4);
    const uint32_t c = LoadLe32(p + 8);
    const uint32_t d = LoadLe32(p + 12);
    r = kTables[15][a & 0xFFu] ^ kTables[14][(a >> 8) & 0xFFu] ^ kTables[13][(a >> 16) & 0xFFu] ^ kTables[12][a >> 24] ^
        kTables[11][b & 0xFFu] ^ kTables[10][(b >> 8) & 0xFFu] ^ kTables[9][(b >> 16) & 0xFFu] ^ kTables[8][b >> 24] ^
        kTables[7][c & 0xFFu] ^ kTables[6][(c >> 8) & 0xFFu] ^ kTables[5][(c >> 16) & 0xFFu] ^ kTables[4][c >> 24] ^
        kTables[3][d & 0xFFu] ^ kTables[2][(d >> 8) & 0xFFu] ^ kTables[1][(d >> 16) & 0xFFu] ^ kTables[0][d >> 24];
    p += kSlices;
    size -= kSlices;
  }
  while (size-- != 0) r = (r >> 8) ^ kTables[0][(r ^ *p++) & 0xFFu];
  return r;
}

}  // namespace

const uint32_t* Crc32::Table() noexcept { return kTables[0].data(); }

uint32_t Crc32::Update(uint32_t crcRegister, const void* data, std::size_t size) noexcept {
  return UpdateTables(crcRegister, static_cast<const unsigned char*>(data), size);
}
