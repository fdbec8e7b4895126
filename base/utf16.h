#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// UTF-16 units and UTF-8 bytes, both ways. The reader renders each unit by itself, so the two
// halves of a surrogate pair become three UTF-8 bytes each; the writers take such a sequence
// back as the unit it was.
namespace base::utf16 {

// The unit at `pair`, two bytes in the given byte order.
inline std::uint32_t unitAt(const char* pair, bool bigEndian) {
  const auto first = static_cast<unsigned char>(pair[0]);
  const auto second = static_cast<unsigned char>(pair[1]);
  return bigEndian ? std::uint32_t{first} << 8 | second : std::uint32_t{second} << 8 | first;
}

constexpr bool isHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr std::uint32_t joinSurrogates(std::uint32_t high, std::uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// Writes the UTF-8 form of `codePoint` at `at`, one to four bytes (a surrogate unit gets three);
// returns the end of what it wrote.
char* putUTF8(char* at, std::uint32_t codePoint);

// The code point of the UTF-8 sequence at `text[at]`, and in `length` its length. Well-formed
// sequences of two, three or four bytes count, and so do the three-byte forms of surrogates. Any
// other byte stands for itself, a sequence cut short included.
std::uint32_t codePointAt(std::string_view text, std::size_t at, std::size_t& length);

// Writes `codePoint` as UTF-16LE at `at`: one unit, or a surrogate pair above U+FFFF; returns the
// end of what it wrote.
char* putUTF16LE(char* at, std::uint32_t codePoint);

}  // namespace base::utf16
