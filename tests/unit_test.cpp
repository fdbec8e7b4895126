// The pure functions beneath every run, on their edges, from the table tests/data/units.tsv: one
// case a line, "function<TAB>input<TAB>argument<TAB>expected", C escapes (\t \r \n \xHH \\) in
// the input. Each input lies in a buffer of its own exact size, so that a read one byte past it
// is caught by AddressSanitizer. And the two sets of byte-scan kernels, built side by side here,
// compared on random bytes at every alignment and length.

#include <gtest/gtest.h>

#include <charconv>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "base/checked.h"
#include "base/line_shape.h"
#include "base/scan.h"
#include "base/text.h"
#include "base/utf16.h"
#include "tests/support/run.h"
#include "xmlio/encoding.h"

// The other kernel set, in a namespace of its own: the portable one beside SSE2, or the reverse.
#if QB_SSE2_KERNELS
namespace other::base {
namespace detail = ::base::detail;
using ::base::UnitScan;
}  // namespace other::base
namespace other {
#include "base/scan_portable.h"
}  // namespace other
#elif defined(__SSE2__)
#include <emmintrin.h>
namespace other::base {
namespace detail = ::base::detail;
using ::base::UnitScan;
}  // namespace other::base
namespace other {
#include "base/scan_sse2.h"
}  // namespace other
#endif

namespace {

std::string unescaped(std::string_view text) {
  std::string out;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text[k] != '\\' || k + 1 == text.size()) {
      out += text[k];
      continue;
    }
    const char c = text[++k];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(std::string(text.substr(k + 1, 2)), nullptr, 16));
      k += 2;
    } else {
      out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
  }
  return out;
}

std::string hex(std::string_view bytes) {
  std::string out;
  for (const unsigned char b : bytes)
    out += "0123456789ABCDEF"[b >> 4], out += "0123456789ABCDEF"[b & 15];
  return out;
}

template <class F>
std::string orOverflow(F f) {
  try {
    return f();
  } catch (const base::ArithmeticOverflow&) {
    return "Overflow";
  }
}

using Function = std::function<std::string(std::string_view input, const std::string& argument)>;
const std::map<std::string, Function> kFunctions = {
    {"leadingNumber",
     [](std::string_view in, const std::string&) {
       char out[32];
       return std::string(out, std::to_chars(out, out + 32, base::leadingNumber(in)).ptr);
     }},
    {"roundedInt32",
     [](std::string_view in, const std::string&) {
       return orOverflow(
           [&] { return std::to_string(base::roundedInt32(std::stod(std::string(in)))); });
     }},
    {"isAllDigits",
     [](std::string_view in, const std::string&) {
       return std::string(base::isAllDigits(in) ? "true" : "false");
     }},
    {"digitsValue16",
     [](std::string_view in, const std::string&) {
       return orOverflow([&] { return std::to_string(base::digitsValue16(in)); });
     }},
    {"digitsValue32",
     [](std::string_view in, const std::string&) {
       return orOverflow([&] { return std::to_string(base::digitsValue32(in)); });
     }},
    {"putUTF8",
     [](std::string_view, const std::string& cp) {
       char out[4];
       return hex(std::string_view(
           out, base::utf16::putUTF8(out, static_cast<std::uint32_t>(std::stoul(cp, nullptr, 16))) -
                    out));
     }},
    {"putUTF16LE",
     [](std::string_view, const std::string& cp) {
       char out[4];
       return hex(std::string_view(
           out,
           base::utf16::putUTF16LE(out, static_cast<std::uint32_t>(std::stoul(cp, nullptr, 16))) -
               out));
     }},
    {"codePointAt",
     [](std::string_view in, const std::string& at) {
       std::size_t length = 0;
       const std::uint32_t cp = base::utf16::codePointAt(in, std::stoul(at), length);
       std::ostringstream out;
       out << std::hex << std::uppercase << cp << " " << length;
       return out.str();
     }},
    {"detectEncoding",
     [](std::string_view in, const std::string&) {
       const xmlio::Probe probe = xmlio::detectEncoding(in);
       const char* names[] = {"UTF-8", "UTF-16LE", "UTF-16BE"};
       return std::string(probe.encoding ? names[int(*probe.encoding)] : "none") +
              (probe.apostropheQuoted ? " apostrophes " : " ") +
              std::to_string(probe.carriageReturns);
     }},
    {"declaringUTF8",
     [](std::string_view in, const std::string&) { return xmlio::declaringUTF8(in); }},
    {"opens",
     [](std::string_view in, const std::string& name) {
       return std::string(base::shapeOf(in, '\t').opens(name) ? "true" : "false");
     }},
    {"is",
     [](std::string_view in, const std::string& text) {
       const base::LineShape shape = base::shapeOf(in, '\t');
       return std::string(shape.is(shape.depth, text) ? "true" : "false") + " " +
              std::to_string(shape.depth);
     }},
};

TEST(Units, EveryCaseOfTheTable) {
  std::istringstream table(
      testsupport::slurp(std::filesystem::path(QB_SOURCE_DIR) / "tests" / "data" / "units.tsv"));
  int cases = 0;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> field;
    for (std::istringstream cells(line); field.size() < 4;) {
      std::string cell;
      if (!std::getline(cells, cell, '\t')) break;
      field.push_back(cell);
    }
    ASSERT_EQ(field.size(), 4u) << line;
    ASSERT_EQ(kFunctions.count(field[0]), 1u) << "no function " << field[0];
    const std::string input = unescaped(field[1]);
    const auto exact = std::make_unique<char[]>(input.size());
    std::copy(input.begin(), input.end(), exact.get());
    EXPECT_EQ(kFunctions.at(field[0])(std::string_view(exact.get(), input.size()), field[2]),
              unescaped(field[3]))
        << line;
    ++cases;
  }
  EXPECT_GT(cases, 50);
}

#if QB_SSE2_KERNELS || defined(__SSE2__)
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
#endif

}  // namespace
