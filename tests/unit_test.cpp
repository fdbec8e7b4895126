// The pure functions beneath every run, on their edges, from the table tests/data/units.tsv: one
// case a line, "function<TAB>input<TAB>argument<TAB>expected", C escapes (\t \r \n \xHH \\) in
// the input. Each input lies in a buffer of its own exact size, so that a read one byte past it
// is caught by AddressSanitizer. And the two sets of byte-scan kernels, built side by side here,
// compared on random bytes at every alignment and length.

#include <gtest/gtest.h>

#include <charconv>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "base/checked.h"
#include "base/line_shape.h"
#include "base/scan.h"
#include "base/text.h"
#include "base/utf16.h"
#include "tests/support/run.h"
#include "xmlio/encoding.h"

// The other kernel set, in a namespace of its own: the portable one beside SSE2, or the reverse.
namespace other::base {
namespace detail = ::base::detail;
using ::base::UnitScan;
}  // namespace other::base
#if QB_SSE2_KERNELS
namespace other {
#include "base/scan_portable.h"
}  // namespace other
#else
#include <emmintrin.h>
namespace other {
#include "base/scan_sse2.h"
}  // namespace other
#endif

namespace {

std::string unescaped(std::string_view text) {
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char c = text[k] == '\\' && k + 1 < text.size() ? text[++k] : '\0';
    if (c == 'x')
      out += static_cast<char>(std::stoi(std::string(text.substr(k + 1, 2)), nullptr, 16));
    if (c == 'x') k += 2;
    if (c != 'x')
      out += c == '\0' ? text[k] : c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
  }
  return out;
}

std::string hex(std::string_view bytes) {
  std::string out;
  for (const unsigned char b : bytes)
    out += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
  return out;
}

std::string yes(bool b) { return b ? "true" : "false"; }

// The value `f` gives, or "Overflow" where it reports one.
template <class F>
std::string checked(F f) {
  try {
    return std::to_string(f());
  } catch (const base::ArithmeticOverflow&) {
    return "Overflow";
  }
}

// What `function` gives for `in` and `arg`, as the table writes it; nothing for an unknown name.
std::optional<std::string> call(const std::string& function, std::string_view in,
                                const std::string& arg) {
  char out[32], more[4];
  if (function == "leadingNumber") {
    return std::string(out, std::to_chars(out, out + 32, base::leadingNumber(in)).ptr);
  }
  if (function == "roundedInt32")
    return checked([&] { return base::roundedInt32(std::stod(arg)); });
  if (function == "isAllDigits") return yes(base::isAllDigits(in));
  if (function == "digitsValue16") return checked([&] { return base::digitsValue16(in); });
  if (function == "digitsValue32") return checked([&] { return base::digitsValue32(in); });
  if (function == "encode") {  // a code point as UTF-8, then as UTF-16LE
    const auto c = static_cast<std::uint32_t>(std::stoul(arg, nullptr, 16));
    return hex({out, base::utf16::putUTF8(out, c)}) + " " +
           hex({more, base::utf16::putUTF16LE(more, c)});
  }
  if (function == "codePointAt") {
    std::size_t length = 0;
    const std::uint32_t c = base::utf16::codePointAt(in, std::stoul(arg), length);
    return std::string(out, std::to_chars(out, out + 32, c, 16).ptr) + " " + std::to_string(length);
  }
  if (function == "detectEncoding") {
    const xmlio::Probe probe = xmlio::detectEncoding(in);
    const char* names[] = {"UTF-8", "UTF-16LE", "UTF-16BE"};
    return std::string(probe.encoding ? names[int(*probe.encoding)] : "none") +
           (probe.apostropheQuoted ? " apostrophes " : " ") + std::to_string(probe.carriageReturns);
  }
  if (function == "declaringUTF8") return xmlio::declaringUTF8(in);
  const base::LineShape shape = base::shapeOf(in, '\t');
  if (function == "opens") return yes(shape.opens(arg));
  if (function == "is") return yes(shape.is(shape.depth, arg)) + " " + std::to_string(shape.depth);
  return std::nullopt;
}

TEST(Units, EveryCaseOfTheTable) {
  std::istringstream table(
      testsupport::slurp(std::filesystem::path(QB_SOURCE_DIR) / "tests" / "data" / "units.tsv"));
  int cases = 0;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream cells(line);
    std::string field[4];
    for (std::string& cell : field) std::getline(cells, cell, '\t');
    const std::string input = unescaped(field[1]);
    const auto exact = std::make_unique<char[]>(input.size());
    std::copy(input.begin(), input.end(), exact.get());
    EXPECT_EQ(call(field[0], std::string_view(exact.get(), input.size()), field[2]),
              unescaped(field[3]))
        << line;
    ++cases;
  }
  EXPECT_GT(cases, 50);
}

TEST(Units, BothKernelSetsAgreeAtEveryAlignmentAndLength) {
  std::mt19937 random(7);
  // Bytes of the few values the kernels look for, and others, with slack behind every view.
  const char kBytes[] = {'<', '\t', '\r', '\n', 'a', '\0', '\x80', '\xC3'};
  std::string buffer(96, '\0');
  for (int round = 0; round < 40; ++round) {
    for (char& c : buffer) c = kBytes[random() % sizeof kBytes];
    for (std::size_t align = 0; align < 16; ++align) {
      for (std::size_t length = 0; length < 32; ++length) {
        SCOPED_TRACE("alignment " + std::to_string(align) + ", length " + std::to_string(length));
        const char* at = buffer.data() + align;
        const std::string_view bytes(at, length);
        EXPECT_EQ(base::matchMask16(at, '<'), other::base::matchMask16(at, '<'));
        for (const bool big : {false, true}) {
          const base::UnitScan a = base::scanUnits(bytes, big, 0x0D, 0x0A);
          const base::UnitScan b = other::base::scanUnits(bytes, big, 0x0D, 0x0A);
          EXPECT_EQ(std::tie(a.end, a.stopped, a.ascii), std::tie(b.end, b.stopped, b.ascii));
          // Units below 0x80, as narrowUnits takes only those: a zero high byte, a low one below.
          std::string units(at, length);
          for (std::size_t k = 0; k < length; ++k)
            units[k] = (k % 2 == 0) == big ? '\0' : units[k] & 0x7F;
          char x[32] = {}, y[32] = {};
          base::narrowUnits(units.data(), length / 2, big, x);
          other::base::narrowUnits(units.data(), length / 2, big, y);
          EXPECT_EQ(std::string(x, 32), std::string(y, 32));
        }
        char x[64] = {}, y[64] = {};
        EXPECT_EQ(base::widenASCII(bytes, x, 2 * length),
                  other::base::widenASCII(bytes, y, 2 * length));
        EXPECT_EQ(std::string(x, 64), std::string(y, 64));
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
