#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Byte-scan kernels: the loops that look at many bytes at once. Each has a vector version
// (scan_sse2.h) and a portable one (scan_portable.h); CMake picks one by QB_SSE2_KERNELS: the
// vector one where the target is x86-64, which always has SSE2, the portable one elsewhere and with
// QB_PORTABLE_KERNELS, so that the path an MSVC or ARM build takes is tested too. They are inline:
// they run for every line, where a call would cost as much as the scan.
namespace base {

// matchMask16 reads sixteen bytes, also past the end of a shorter line. A caller that scans a
// line's last bytes with it keeps this many readable bytes behind the line (the file table behind
// its buffer, the merge behind a line it gathered from two blocks).
inline constexpr std::size_t kScanSlack = 16;

// Bit k (k < 16) set when at[k] == byte; reads the sixteen bytes at `at`.
inline unsigned matchMask16(const char* at, char byte);

// Where the first unit equal to `stop1` or `stop2` lies among the whole 16-bit units of `bytes`,
// read in the given byte order: `end` bytes come before it (all whole units when none does),
// `stopped` tells whether one does, `ascii` whether every unit before it is below 0x80. Reads
// only `bytes`.
struct UnitScan {
  std::size_t end = 0;
  bool stopped = false;
  bool ascii = true;
};
inline UnitScan scanUnits(std::string_view bytes, bool bigEndian, std::uint16_t stop1,
                          std::uint16_t stop2);

// Writes the low byte of each of the `count` units at `units`, all below 0x80, to `out`.
inline void narrowUnits(const char* units, std::size_t count, bool bigEndian, char* out);

// Widens the bytes of `from` to UTF-16LE units at `to`, for as long as they are below 0x80 and
// `room` bytes hold their units; returns how many it widened. Reads only `from`.
inline std::size_t widenASCII(std::string_view from, char* to, std::size_t room);

namespace detail {
// The units from byte `at` on, one at a time: the part of scanUnits that both versions share.
UnitScan scanUnitsFrom(std::string_view bytes, std::size_t at, bool bigEndian, std::uint16_t stop1,
                       std::uint16_t stop2, bool ascii);
// The bytes from `i` on, one at a time: the part of widenASCII that both versions share.
inline std::size_t widenASCIIFrom(std::string_view from, std::size_t i, char* to,
                                  std::size_t room) {
  for (; i < from.size() && room - 2 * i >= 2 && static_cast<unsigned char>(from[i]) < 0x80; ++i) {
    to[2 * i] = from[i];
    to[2 * i + 1] = '\0';
  }
  return i;
}
}  // namespace detail

}  // namespace base

#if QB_SSE2_KERNELS
#include "base/scan_sse2.h"
#else
#include "base/scan_portable.h"
#endif
