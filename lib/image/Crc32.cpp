#include "image/Crc32.h"

#include <array>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VLMU_CRC32_FOLDING 1
#include <immintrin.h>
#endif

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

inline uint32_t LoadLe32(const unsigned char* p) noexcept {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

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
    r = kTables[15][a & 0xFFu] ^ kTables[14][(a >> 8) & 0xFFu] ^ kTables[13][(a >> 16) & 0xFFu] ^
        kTables[12][a >> 24] ^ kTables[11][b & 0xFFu] ^ kTables[10][(b >> 8) & 0xFFu] ^
        kTables[9][(b >> 16) & 0xFFu] ^ kTables[8][b >> 24] ^ kTables[7][c & 0xFFu] ^
        kTables[6][(c >> 8) & 0xFFu] ^ kTables[5][(c >> 16) & 0xFFu] ^ kTables[4][c >> 24] ^
        kTables[3][d & 0xFFu] ^ kTables[2][(d >> 8) & 0xFFu] ^ kTables[1][(d >> 16) & 0xFFu] ^
        kTables[0][d >> 24];
    p += kSlices;
    size -= kSlices;
  }
  while (size-- != 0) r = (r >> 8) ^ kTables[0][(r ^ *p++) & 0xFFu];
  return r;
}

#if defined(VLMU_CRC32_FOLDING)

// Folding with carry-less multiplication: four 128-bit lanes are carried
// forward over the data; each step multiplies a lane's two halves by
// x^(n+32) and x^(n-32) modulo the polynomial (n: folding distance in bits,
// reflected like the data) and adds the next block. What remains of the lanes
// at the end is a 16-byte block whose CRC (register starting at zero) equals
// the register over everything folded; the table method finishes from there.

// x^n modulo the CRC polynomial (normal bit order, 32 bits).
constexpr uint32_t XPowMod(unsigned n) {
  uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
  return r;
}

constexpr uint32_t Reflect32(uint32_t v) {
  uint32_t r = 0;
  for (int i = 0; i < 32; ++i) r |= ((v >> i) & 1u) << (31 - i);
  return r;
}

// Folding constant for x^n in the reflected domain, as a 33-bit multiplier.
constexpr uint64_t FoldConstant(unsigned n) { return uint64_t{Reflect32(XPowMod(n))} << 1; }

constexpr uint64_t kFold4Lo = FoldConstant(4 * 128 + 32);  // 512 bits ahead
constexpr uint64_t kFold4Hi = FoldConstant(4 * 128 - 32);
constexpr uint64_t kFold1Lo = FoldConstant(128 + 32);      // 128 bits ahead
constexpr uint64_t kFold1Hi = FoldConstant(128 - 32);
static_assert(kFold4Lo == 0x154442BD4u && kFold4Hi == 0x1C6E41596u, "512-bit folding constants");
static_assert(kFold1Lo == 0x1751997D0u && kFold1Hi == 0x0CCAA009Eu, "128-bit folding constants");

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i lane, __m128i constants,
                                                           __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(lane, constants, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(lane, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Needs at least 64 bytes.
__attribute__((target("pclmul,sse2"))) uint32_t UpdateFolding(uint32_t r, const unsigned char* p,
                                                              std::size_t size) noexcept {
  const auto load = [](const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(r)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += 64;
  size -= 64;

  const __m128i fold4 = _mm_set_epi64x(static_cast<long long>(kFold4Hi), static_cast<long long>(kFold4Lo));
  while (size >= 64) {
    x0 = Fold(x0, fold4, load(p));
    x1 = Fold(x1, fold4, load(p + 16));
    x2 = Fold(x2, fold4, load(p + 32));
    x3 = Fold(x3, fold4, load(p + 48));
    p += 64;
    size -= 64;
  }

  const __m128i fold1 = _mm_set_epi64x(static_cast<long long>(kFold1Hi), static_cast<long long>(kFold1Lo));
  x0 = Fold(x0, fold1, x1);
  x0 = Fold(x0, fold1, x2);
  x0 = Fold(x0, fold1, x3);
  while (size >= 16) {
    x0 = Fold(x0, fold1, load(p));
    p += 16;
    size -= 16;
  }

  alignas(16) unsigned char rest[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(rest), x0);
  return UpdateTables(UpdateTables(0, rest, sizeof rest), p, size);
}

// The processor's abilities do not change while the process runs: asked once.
bool CanFold() noexcept {
  static const bool canFold = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  }();
  return canFold;
}

#endif

}  // namespace

const uint32_t* Crc32::Table() noexcept { return kTables[0].data(); }

uint32_t Crc32::UpdatePortable(uint32_t crcRegister, const void* data, std::size_t size) noexcept {
  return UpdateTables(crcRegister, static_cast<const unsigned char*>(data), size);
}

uint32_t Crc32::Update(uint32_t crcRegister, const void* data, std::size_t size) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
#if defined(VLMU_CRC32_FOLDING)
  // Short runs (such as the header) are not worth the set-up.
  if (size >= 256 && CanFold()) return UpdateFolding(crcRegister, p, size);
#endif
  return UpdateTables(crcRegister, p, size);
}
