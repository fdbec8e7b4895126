#include "base/text.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "base/checked.h"

namespace base {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool isAllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

namespace {

template <class T>
T digitsValue(std::string_view digits) {
  T value = 0;
  for (const char c : digits) {
    value = checkedNarrow<T>(std::int64_t{value} * 10 + (static_cast<unsigned char>(c) - '0'));
  }
  return value;
}

}  // namespace

std::int16_t digitsValue16(std::string_view digits) { return digitsValue<std::int16_t>(digits); }
std::int32_t digitsValue32(std::string_view digits) { return digitsValue<std::int32_t>(digits); }

double leadingNumber(std::string_view text) {
  // Durations and voices come on every note and are nearly always plain integers: those are read
  // here, as exactly as the general reading below would, at a fraction of its cost.
  constexpr std::size_t kExactDigits = 15;  // any integer of this many digits is exact in a double
  std::int64_t whole = 0;
  std::size_t i = 0;
  for (; i < text.size() && i < kExactDigits && isDigit(text[i]); ++i)
    whole = whole * 10 + (text[i] - '0');
  if (i != 0 && i < kExactDigits && (i == text.size() || text[i] != '.')) {
    return static_cast<double>(whole);
  }

  i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t start = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == start) return 0.0;
  if (i + 1 < text.size() && text[i] == '.' && isDigit(text[i + 1])) {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i;
  }
  // from_chars, unlike strtod, ignores the locale, so a decimal point is always '.'.
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(text.data() + start, text.data() + i, value, std::chars_format::fixed);
  static_cast<void>(end);
  if (ec == std::errc::result_out_of_range) value = std::numeric_limits<double>::infinity();
  return negative ? -value : value;
}

std::string upperCaseASCII(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::string_view fileName(std::string_view path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace base
