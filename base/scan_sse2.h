#pragma once

// The byte-scan kernels with SSE2, sixteen bytes at a time; included by base/scan.h alone.
#include <emmintrin.h>

namespace base {
namespace sse2 {

inline __m128i load(const char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
inline void store(char* at, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v); }
inline unsigned bits(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

// A unit as it lies in memory read lowest byte first: a big-endian unit shows byte-swapped.
inline short lane(std::uint16_t unit, bool bigEndian) {
  return static_cast<short>(bigEndian ? (unit >> 8 | unit << 8) : unit);
}

}  // namespace sse2

inline unsigned matchMask16(const char* at, char byte) {
  return sse2::bits(_mm_cmpeq_epi8(sse2::load(at), _mm_set1_epi8(byte)));
}

inline UnitScan scanUnits(std::string_view bytes, bool bigEndian, std::uint16_t stop1,
                          std::uint16_t stop2) {
  const __m128i first = _mm_set1_epi16(sse2::lane(stop1, bigEndian));
  const __m128i second = _mm_set1_epi16(sse2::lane(stop2, bigEndian));
  const __m128i high = _mm_set1_epi16(sse2::lane(0xFF80, bigEndian));
  bool ascii = true;
  std::size_t at = 0;
  for (; at + 16 <= bytes.size(); at += 16) {
    const __m128i v = sse2::load(bytes.data() + at);
    const unsigned low = sse2::bits(_mm_cmpeq_epi16(_mm_and_si128(v, high), _mm_setzero_si128()));
    const unsigned stops =
        sse2::bits(_mm_or_si128(_mm_cmpeq_epi16(v, first), _mm_cmpeq_epi16(v, second)));
    // Two mask bits a unit: only the units before the stop count.
    const unsigned before = stops == 0 ? 0xFFFFu : (1u << std::countr_zero(stops)) - 1;
    if ((low & before) != before) ascii = false;
    if (stops != 0) return {at + static_cast<std::size_t>(std::countr_zero(stops)), true, ascii};
  }
  return detail::scanUnitsFrom(bytes, at, bigEndian, stop1, stop2, ascii);
}

inline void narrowUnits(const char* units, std::size_t count, bool bigEndian, char* out) {
  // Each unit is below 0x80, so packing keeps its low byte exactly.
  const auto lows = [bigEndian](__m128i v) { return bigEndian ? _mm_srli_epi16(v, 8) : v; };
  std::size_t u = 0;
  for (; u + 16 <= count; u += 16) {
    sse2::store(out + u, _mm_packus_epi16(lows(sse2::load(units + 2 * u)),
                                          lows(sse2::load(units + 2 * u + 16))));
  }
  if (u + 8 <= count) {
    const __m128i v = lows(sse2::load(units + 2 * u));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + u), _mm_packus_epi16(v, v));
    u += 8;
  }
  for (; u < count; ++u) out[u] = units[2 * u + (bigEndian ? 1 : 0)];
}

inline std::size_t widenASCII(std::string_view from, char* to, std::size_t room) {
  std::size_t i = 0;
  for (; from.size() - i >= 16 && room - 2 * i >= 32; i += 16) {
    const __m128i v = sse2::load(from.data() + i);
    if (sse2::bits(v) != 0) break;
    sse2::store(to + 2 * i, _mm_unpacklo_epi8(v, _mm_setzero_si128()));
    sse2::store(to + 2 * i + 16, _mm_unpackhi_epi8(v, _mm_setzero_si128()));
  }
  if (from.size() - i >= 8 && room - 2 * i >= 16) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from.data() + i));
    if (sse2::bits(v) == 0) {
      sse2::store(to + 2 * i, _mm_unpacklo_epi8(v, _mm_setzero_si128()));
      i += 8;
    }
  }
  return detail::widenASCIIFrom(from, i, to, room);
}

}  // namespace base
