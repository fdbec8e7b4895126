#include "base/utf16.h"

namespace base::utf16 {
namespace {

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

char* putUnitLE(char* at, std::uint32_t unit) {
  at[0] = static_cast<char>(unit & 0xFF);
  at[1] = static_cast<char>(unit >> 8);
  return at + 2;
}

}  // namespace

char* putUTF8(char* at, std::uint32_t codePoint) {
  const auto put = [&at](std::uint32_t byte) { *at++ = static_cast<char>(byte); };
  if (codePoint < 0x80) {
    put(codePoint);
  } else if (codePoint < 0x800) {
    put(0xC0 | codePoint >> 6);
    put(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    put(0xE0 | codePoint >> 12);
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  } else {
    put(0xF0 | codePoint >> 18);
    put(0x80 | (codePoint >> 12 & 0x3F));
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  }
  return at;
}

std::uint32_t codePointAt(std::string_view text, std::size_t at, std::size_t& length) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const std::size_t left = text.size() - at;
  const unsigned char lead = b(0);
  length = 1;
  if (lead >= 0xC2 && lead <= 0xDF && left >= 2 && isContinuation(b(1))) {
    length = 2;
    return (lead & 0x1Fu) << 6 | (b(1) & 0x3Fu);
  }
  if (lead >= 0xE0 && lead <= 0xEF && left >= 3 && isContinuation(b(1)) && isContinuation(b(2)) &&
      (lead != 0xE0 || b(1) >= 0xA0)) {
    length = 3;
    return (lead & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
  }
  if (lead >= 0xF0 && lead <= 0xF4 && left >= 4 && isContinuation(b(1)) && isContinuation(b(2)) &&
      isContinuation(b(3)) && (lead != 0xF0 || b(1) >= 0x90) && (lead != 0xF4 || b(1) <= 0x8F)) {
    length = 4;
    return (lead & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 | (b(3) & 0x3Fu);
  }
  return lead;
}

char* putUTF16LE(char* at, std::uint32_t codePoint) {
  if (codePoint < 0x10000) return putUnitLE(at, codePoint);
  const std::uint32_t above = codePoint - 0x10000;
  return putUnitLE(putUnitLE(at, 0xD800 + (above >> 10)), 0xDC00 + (above & 0x3FF));
}

}  // namespace base::utf16
