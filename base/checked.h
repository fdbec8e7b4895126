#pragma once

#include <cstdint>
#include <limits>

namespace base {

// Thrown when a 16-bit or 32-bit field would leave its range; caught only by the run's outermost
// frame, which reports it. Not derived from std::exception so that no ordinary handler can swallow
// it.
struct ArithmeticOverflow {};

template <class T>
[[nodiscard]] constexpr T checkedNarrow(std::int64_t v) {
  if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
    throw ArithmeticOverflow{};
  }
  return static_cast<T>(v);
}

[[nodiscard]] constexpr std::int16_t add16(std::int16_t a, std::int64_t b) {
  return checkedNarrow<std::int16_t>(std::int64_t{a} + b);
}

[[nodiscard]] constexpr std::int32_t add32(std::int32_t a, std::int64_t b) {
  return checkedNarrow<std::int32_t>(std::int64_t{a} + b);
}

// `value` brought to the nearest integer, halves to the even one, as a checked 32-bit value
// (infinities and NaN overflow too). Done by hand: a call to the library's rounding costs more
// than the rest of a line's work.
[[nodiscard]] constexpr std::int32_t roundedInt32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) throw ArithmeticOverflow{};
  auto whole = static_cast<std::int64_t>(value);  // towards zero
  const double rest = value - static_cast<double>(whole);
  if (rest > 0.5 || (rest == 0.5 && whole % 2 != 0)) ++whole;
  if (rest < -0.5 || (rest == -0.5 && whole % 2 != 0)) --whole;
  return checkedNarrow<std::int32_t>(whole);
}

}  // namespace base
