#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Small rules on byte strings that every layer shares. Bytes are compared exactly; only the ASCII
// letters have a case.
namespace base {

// True when `text` is non-empty and holds only the digits 0 to 9.
bool isAllDigits(std::string_view text);

// The value of `digits`, each byte a digit worth its code less that of "0", as a checked 16-bit
// number (ArithmeticOverflow past 32767). The bytes are not checked for being digits.
std::int16_t digitsValue16(std::string_view digits);
// The same as a checked 32-bit number (ArithmeticOverflow past 2147483647).
std::int32_t digitsValue32(std::string_view digits);

// The value of the decimal number at the start of `text`: blanks and tabs skipped, an optional
// sign, digits, an optional "." with digits; 0 when no digit comes first; infinite past double's
// range.
double leadingNumber(std::string_view text);

inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// `text` with the letters a to z made upper case.
std::string upperCaseASCII(std::string_view text);

// What follows the last folder separator (a backslash, or a slash) of `path`.
std::string_view fileName(std::string_view path);

}  // namespace base
