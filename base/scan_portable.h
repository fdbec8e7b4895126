#pragma once

// The byte-scan kernels in plain C++; included by base/scan.h alone.
#include <cstring>

namespace base {
namespace portable {

// Eight bytes as one number, the first byte lowest, whatever the machine's byte order.
inline std::uint64_t littleEndian64(const char* at) {
  std::uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, at, sizeof word);
  } else {
    for (int k = 7; k >= 0; --k) word = word << 8 | static_cast<unsigned char>(at[k]);
  }
  return word;
}

inline constexpr std::uint64_t kOnes = 0x0001000100010001, kTops = 0x8000800080008000;

// Nonzero when one of the four 16-bit lanes of `lanes` equals `unit`; the lowest lane flagged is
// the first that does, since a false flag only ever spills upwards.
constexpr std::uint64_t laneEquals(std::uint64_t lanes, std::uint64_t unit) {
  const std::uint64_t x = lanes ^ (unit * kOnes);
  return (x - kOnes) & ~x & kTops;
}

// A unit as it lies in a word read lowest byte first: a big-endian unit shows byte-swapped.
inline std::uint64_t lane(std::uint16_t unit, bool bigEndian) {
  return bigEndian ? (unit >> 8 | (unit & 0xFFu) << 8) : unit;
}

}  // namespace portable

inline unsigned matchMask16(const char* at, char byte) {
  unsigned mask = 0;
  for (unsigned k = 0; k < 16; ++k) mask |= unsigned{at[k] == byte} << k;
  return mask;
}

// Four units at a time in one 64-bit word.
inline UnitScan scanUnits(std::string_view bytes, bool bigEndian, std::uint16_t stop1,
                          std::uint16_t stop2) {
  const std::uint64_t high = portable::lane(0xFF80, bigEndian) * portable::kOnes;
  std::uint64_t seen = 0;
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    const std::uint64_t w = portable::littleEndian64(bytes.data() + at);
    const std::uint64_t stops = portable::laneEquals(w, portable::lane(stop1, bigEndian)) |
                                portable::laneEquals(w, portable::lane(stop2, bigEndian));
    if (stops != 0) {
      const int before = std::countr_zero(stops) / 16;
      if (before != 0) seen |= w & high & (~std::uint64_t{0} >> (64 - 16 * before));
      return {at + 2 * static_cast<std::size_t>(before), true, seen == 0};
    }
    seen |= w & high;
  }
  return detail::scanUnitsFrom(bytes, at, bigEndian, stop1, stop2, seen == 0);
}

inline void narrowUnits(const char* units, std::size_t count, bool bigEndian, char* out) {
  for (std::size_t u = 0; u < count; ++u) out[u] = units[2 * u + (bigEndian ? 1 : 0)];
}

inline std::size_t widenASCII(std::string_view from, char* to, std::size_t room) {
  return detail::widenASCIIFrom(from, 0, to, room);
}

}  // namespace base
