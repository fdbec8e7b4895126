#include "xmlio/line_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "xmlio/line_writer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xmlio {
namespace {

using platform::ReadStatus;

// The first occurrence of `pattern` in `s`, found through the pattern's byte at `anchor`: a byte
// that lines rarely hold keeps the search from stopping at every blank.
std::size_t findAnchored(std::string_view s, std::string_view pattern, std::size_t anchor) {
  if (s.size() < pattern.size()) return std::string_view::npos;
  const char* const base = s.data();
  const std::size_t last = s.size() - pattern.size() + anchor;  // the anchor's last place
  for (std::size_t at = anchor; at <= last; ++at) {
    const void* hit = std::memchr(base + at, pattern[anchor], last + 1 - at);
    if (hit == nullptr) break;
    at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    if (std::memcmp(base + at - anchor, pattern.data(), pattern.size()) == 0) return at - anchor;
  }
  return std::string_view::npos;
}

// Replaces every `pattern` by the shorter `replacement`, searching again from the line's start
// after each replacement. Done in one pass: the line is rebuilt in place like a stack, and a
// match is always found where the stack ends, which is where the leftmost match of the rescan
// would be. Neither replacement used here can end a new match by itself.
void replaceRescanning(std::string& s, std::string_view pattern, std::size_t anchor,
                       std::string_view replacement) {
  const std::size_t first = findAnchored(s, pattern, anchor);
  if (first == std::string::npos) return;
  const std::size_t p = pattern.size();
  std::size_t w = first;
  for (std::size_t r = first; r < s.size(); ++r) {
    s[w++] = s[r];
    if (w >= p && s[w - 1] == pattern.back() &&
        std::memcmp(s.data() + w - p, pattern.data(), p) == 0) {
      w -= p;
      std::memcpy(s.data() + w, replacement.data(), replacement.size());
      w += replacement.size();
    }
  }
  s.resize(w);
}

void replaceByte(std::string& s, char from, char to) {
  for (char* c = static_cast<char*>(std::memchr(s.data(), from, s.size())); c != nullptr;
       c = static_cast<char*>(
           std::memchr(c, from, s.size() - static_cast<std::size_t>(c - s.data())))) {
    *c = to;
  }
}

// Which replacements `line` may need, as bits: 1 an apostrophe (looked for only when they become
// double quotes), 2 an LF, 4 an "&", 8 " = " (or an "=" beside which an LF may become a blank).
// Most lines need none, and are left as they are after this one pass.
unsigned triggersIn(std::string_view line, bool apostrophes) {
  static constexpr auto kTrigger = [] {
    std::array<unsigned char, 256> table{};
    table['\''] = 1;
    table['\n'] = 2;
    table['&'] = 4;
    table['='] = 16;  // an "=", not yet known to stand between blanks
    return table;
  }();
  unsigned found = 0;
  const auto equalsAt = [&](std::size_t at) {
    found |= 16;
    if (at > 0 && at + 1 < line.size() && line[at - 1] == ' ' && line[at + 1] == ' ') found |= 8;
  };
  std::size_t at = 0;
#if defined(__SSE2__)
  const auto mask = [](__m128i v, char c) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
  };
  for (; at + 16 <= line.size(); at += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data() + at));
    found |= (mask(v, '\'') != 0 ? 1u : 0u) | (mask(v, '\n') != 0 ? 2u : 0u) |
             (mask(v, '&') != 0 ? 4u : 0u);
    for (unsigned eq = mask(v, '='); eq != 0; eq &= eq - 1) equalsAt(at + std::countr_zero(eq));
  }
#endif
  for (; at < line.size(); ++at) {
    const unsigned t = kTrigger[static_cast<unsigned char>(line[at])];
    if (t == 16) equalsAt(at);
    found |= t & 7;
  }
  if ((found & 18) == 18) found |= 8;  // an LF may make a blank beside an "="
  return (apostrophes ? found : found & ~1u) & 15;
}

// The fixed replacements in their order, each repeated from the line's start: text that one makes
// is searched again.
void normaliseLine(std::string& line, run::Bool16 apostropheQuoted, std::int32_t& perc) {
  if (perc > 100) perc = 100;
  if (line.empty()) return;
  const unsigned triggers = triggersIn(line, apostropheQuoted != run::kFalse);
  if ((triggers & 1) != 0) replaceByte(line, '\'', '"');
  if ((triggers & 2) != 0) replaceByte(line, '\n', ' ');
  if ((triggers & 4) != 0) {
    replaceRescanning(line, "&amp;", 0, "&");
    replaceRescanning(line, "&apos;", 0, "'");
  }
  if ((triggers & 8) != 0) replaceRescanning(line, " = ", 1, "=");
}

// perc = inputPosition x 100 / inputLength, rounded half to even, when it can be computed.
bool progress(const run::RunState& st, std::int32_t& perc) {
  if (st.inputLength <= 0) return false;  // never below 0 once a line came
  const std::int64_t scaled = std::int64_t{st.inputPosition} * 100;
  if (scaled > std::numeric_limits<std::int32_t>::max()) return false;
  // Both fit 32 bits here, and rounding by the remainder spares a division in floating point.
  const auto numerator = static_cast<std::uint32_t>(scaled);
  const auto divisor = static_cast<std::uint32_t>(st.inputLength);
  std::uint32_t quotient = numerator / divisor;
  const std::uint32_t twice = 2 * (numerator % divisor);
  if (twice > divisor || (twice == divisor && quotient % 2 != 0)) ++quotient;
  perc = static_cast<std::int32_t>(quotient);
  return true;
}

void readFailure(run::Context& ctx, bool firstByte) {
  std::string text = "Error " + std::to_string(ctx.files.fileSystem().lastError().code) +
                     " during input. Consult support";
  if (firstByte) text += ". File = " + std::to_string(ctx.state.inputFileNo);
  static_cast<void>(ctx.dialogs.show(text, platform::kBoxInfo));
}

void readUTF8(run::Context& ctx, std::string_view& line, run::Bool16& eofile, std::int32_t& perc) {
  run::RunState& st = ctx.state;
  std::string& own = ctx.readerScratch;
  ctx.files.clearError();
  switch (ctx.files.readLineView(st.inputFileNo, line, own)) {
    case ReadStatus::Ok:
      break;
    case ReadStatus::Failed:
      readFailure(ctx, true);
      [[fallthrough]];
    case ReadStatus::End:
      eofile = run::kTrue;
      return;
  }
  // Every line counts a CR LF, whatever really ended it.
  st.inputPosition = base::add32(st.inputPosition, static_cast<std::int64_t>(line.size()) + 2);
  if (!progress(st, perc)) return;
  // A line that spans two blocks already lies in the reader's own line.
  if (line.data() != own.data()) own.assign(line);
  normaliseLine(own, st.apostropheQuoted, perc);
  line = own;
}

// Writes the UTF-8 form of one 16-bit unit at `at`; surrogates are written one by one.
char* putUTF8(char* at, std::uint32_t u) {
  if (u < 0x80) {
    *at++ = static_cast<char>(u);
  } else if (u < 0x800) {
    *at++ = static_cast<char>(0xC0 + (u >> 6));
    *at++ = static_cast<char>(0x80 + (u & 0x3F));
  } else {
    *at++ = static_cast<char>(0xE0 + (u >> 12));
    *at++ = static_cast<char>(0x80 + ((u >> 6) & 0x3F));
    *at++ = static_cast<char>(0x80 + (u & 0x3F));
  }
  return at;
}

void appendUTF8(std::string& out, std::uint32_t u) {
  char bytes[3];
  out.append(bytes, static_cast<std::size_t>(putUTF8(bytes, u) - bytes));
}

// Eight bytes as one number, the first byte lowest, whatever the machine's byte order.
std::uint64_t littleEndian64(const char* p) {
  std::uint64_t w = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&w, p, sizeof w);
  } else {
    for (int k = 7; k >= 0; --k) w = w << 8 | static_cast<unsigned char>(p[k]);
  }
  return w;
}

// Nonzero when one of the four 16-bit lanes of `lanes` equals `unit`.
constexpr std::uint64_t laneEquals(std::uint64_t lanes, std::uint64_t unit) {
  constexpr std::uint64_t kOnes = 0x0001000100010001, kTops = 0x8000800080008000;
  const std::uint64_t x = lanes ^ (unit * kOnes);
  return (x - kOnes) & ~x & kTops;
}

template <bool kBigEndian>
std::uint32_t unitAt(std::string_view bytes, std::size_t k) {
  const auto b1 = static_cast<unsigned char>(bytes[k]);
  const auto b2 = static_cast<unsigned char>(bytes[k + 1]);
  return kBigEndian ? (b1 << 8u | b2) : (b2 << 8u | b1);
}

// Decodes the whole units of `bytes` into `line` up to and including the first CR or LF unit.
// Returns how many bytes were taken; `ended` tells whether a CR or LF unit was among them.
template <bool kBigEndian>
std::size_t decodeUnits(std::string_view bytes, std::string& line, bool& ended) {
  // Units as they lie in eight bytes read lowest first: a big-endian unit shows byte-swapped.
  constexpr std::uint64_t kCR = kBigEndian ? 0x0D00 : 0x000D, kLF = kBigEndian ? 0x0A00 : 0x000A;
  constexpr std::uint64_t kNotASCII = kBigEndian ? 0x80FF80FF80FF80FF : 0xFF80FF80FF80FF80;
  const std::size_t size = bytes.size() & ~std::size_t{1};
  // First find the line's end, noting whether any unit before it is not ASCII. In the four-unit
  // words the first match is the lowest lane found, since a match only ever spills upwards.
  std::size_t end = 0;
  std::uint64_t notASCII = 0;
  ended = false;
#if defined(__SSE2__)
  // Eight units at a time where the machine has 16-byte vectors.
  const __m128i cr = _mm_set1_epi16(static_cast<short>(kCR));
  const __m128i lf = _mm_set1_epi16(static_cast<short>(kLF));
  const __m128i high = _mm_set1_epi16(static_cast<short>(kNotASCII & 0xFFFF));
  const __m128i zero = _mm_setzero_si128();
  for (; end + 16 <= size; end += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + end));
    const auto ascii =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), zero)));
    const auto ends = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf))));
    // Two mask bits a unit: only the units before the line's end count.
    const unsigned before = ends == 0 ? 0xFFFFu : (1u << std::countr_zero(ends)) - 1;
    if ((ascii & before) != before) notASCII = 1;
    if (ends != 0) {
      end += static_cast<std::size_t>(std::countr_zero(ends));
      ended = true;
      break;
    }
  }
#endif
  // Four units at a time elsewhere, and after the vectors.
  for (; !ended && end + 8 <= size; end += 8) {
    const std::uint64_t w = littleEndian64(bytes.data() + end);
    const std::uint64_t ends = laneEquals(w, kCR) | laneEquals(w, kLF);
    if (ends != 0) {
      const int before = std::countr_zero(ends) / 16;
      if (before != 0) notASCII |= w & kNotASCII & (~std::uint64_t{0} >> (64 - 16 * before));
      end += 2 * static_cast<std::size_t>(before);
      ended = true;
      break;
    }
    notASCII |= w & kNotASCII;
  }
  for (; !ended && end < size; end += 2) {
    const std::uint32_t unit = unitAt<kBigEndian>(bytes, end);
    if (unit == 0x0D || unit == 0x0A) {
      ended = true;
      break;
    }
    if (unit >= 0x80) notASCII = 1;
  }
  const std::size_t old = line.size();
  if (notASCII == 0) {
    line.resize(old + end / 2);
    char* const out = line.data() + old;
    std::size_t u = 0;
#if defined(__SSE2__)
    // Sixteen units at a time: each is below 0x80, so packing keeps its low byte exactly.
    for (; 2 * u + 32 <= end; u += 16) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + 2 * u));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + 2 * u + 16));
      if constexpr (kBigEndian) {
        a = _mm_srli_epi16(a, 8);
        b = _mm_srli_epi16(b, 8);
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + u), _mm_packus_epi16(a, b));
    }
#endif
#if defined(__SSE2__)
    if (2 * u + 16 <= end) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + 2 * u));
      if constexpr (kBigEndian) a = _mm_srli_epi16(a, 8);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + u), _mm_packus_epi16(a, a));
      u += 8;
    }
#endif
    for (; u < end / 2; ++u) out[u] = bytes[2 * u + (kBigEndian ? 1 : 0)];
  } else {
    // A unit gives at most three bytes.
    line.resize(old + end / 2 * 3);
    char* const start = line.data() + old;
    char* out = start;
    for (std::size_t k = 0; k < end; k += 2) out = putUTF8(out, unitAt<kBigEndian>(bytes, k));
    line.resize(old + static_cast<std::size_t>(out - start));
  }
  return ended ? end + 2 : end;
}

// The input's bytes from the file table's block, past the physical end as zeros: only
// inputLength decides where the input ends.
class ByteSource {
 public:
  explicit ByteSource(run::Context& ctx) : files_(ctx.files), no_(ctx.state.inputFileNo) {}
  // Hands the read bytes back to the file table.
  ~ByteSource() { files_.advance(no_, at_); }
  // The whole bytes waiting in the block, refilling it when none are; false when it could not be.
  bool waiting(std::string_view& bytes) {
    if (at_ == view_.size() && !refill()) return false;
    bytes = view_.substr(at_);
    return true;
  }
  void take(std::size_t count) { at_ += count; }
  bool next(unsigned char& b) {
    if (at_ == view_.size()) {
      if (!refill()) return false;
      if (view_.empty()) {
        b = 0;
        return true;
      }
    }
    b = static_cast<unsigned char>(view_[at_++]);
    return true;
  }

 private:
  bool refill() {
    if (at_ != 0) files_.advance(no_, at_);
    at_ = 0;
    files_.clearError();
    if (files_.peek(no_, view_) != ReadStatus::Failed) return true;
    view_ = {};
    return false;
  }
  platform::FileTable& files_;
  platform::FileNo no_;
  std::string_view view_;
  std::size_t at_ = 0;
};

// Reads byte pairs into `line` through the first CR or LF unit, counting them in `consumed`.
// False when no line can be delivered: the input ended first (a last line without terminator is
// dropped), an odd byte was left over, or a read failed (reported).
bool readUnits(run::Context& ctx, std::string& line, bool bigEndian, std::int64_t& consumed) {
  run::RunState& st = ctx.state;
  ByteSource source(ctx);
  for (;;) {
    if (st.inputLength == 0) return false;
    std::string_view bytes;
    if (!source.waiting(bytes)) {
      readFailure(ctx, true);
      return false;
    }
    // Whole units inside the block and inside inputLength go in bulk; a unit split between two
    // blocks, the zeros past the physical end and an odd last byte go unit by unit.
    const std::size_t bulk =
        std::min(bytes.size(), static_cast<std::size_t>(st.inputLength)) & ~std::size_t{1};
    if (bulk != 0) {
      bool ended = false;
      const std::string_view units = bytes.substr(0, bulk);
      const std::size_t taken = bigEndian ? decodeUnits<true>(units, line, ended)
                                          : decodeUnits<false>(units, line, ended);
      source.take(taken);
      consumed += static_cast<std::int64_t>(taken);
      st.inputLength = base::add32(st.inputLength, -static_cast<std::int64_t>(taken));
      if (ended) return true;
      continue;
    }
    unsigned char b1 = 0, b2 = 0;
    if (!source.next(b1)) {
      readFailure(ctx, true);
      return false;
    }
    if (!source.next(b2)) {
      readFailure(ctx, false);
      return false;
    }
    st.inputLength = base::add32(st.inputLength, -2);
    consumed += 2;
    if (st.inputLength < 0) return false;  // an odd byte was left: the pair ran past the end
    const std::uint32_t unit = bigEndian ? (b1 << 8u | b2) : (b2 << 8u | b1);
    if (unit == 0x0D || unit == 0x0A) return true;
    appendUTF8(line, unit);
  }
}

void readUTF16(run::Context& ctx, std::string_view& i, run::Bool16& eofile, std::int32_t& perc,
               bool bigEndian) {
  run::RunState& st = ctx.state;
  std::string& line = ctx.readerScratch;
  line.clear();
  std::int64_t consumed = 0;
  // A line that ends at its first unit, as every CR LF of a UTF-16 input leaves one, costs no more
  // than its two bytes when they are buffered.
  const std::string_view next = ctx.files.buffered(st.inputFileNo);
  if (st.inputLength >= 2 && next.size() >= 2) {
    const std::uint32_t unit = bigEndian ? unitAt<true>(next, 0) : unitAt<false>(next, 0);
    if (unit == 0x0D || unit == 0x0A) {
      ctx.files.advance(st.inputFileNo, 2);
      st.inputLength = base::add32(st.inputLength, -2);
      consumed = 2;
    }
  }
  if (consumed == 0 && (st.inputLength <= 0 || !readUnits(ctx, line, bigEndian, consumed))) {
    eofile = run::kTrue;
    return;
  }
  st.inputPosition = base::add32(st.inputPosition, consumed);
  progress(st, perc);
  normaliseLine(line, st.apostropheQuoted, perc);
  i = line;
}

}  // namespace

void inputXMLlineView(run::Context& ctx, std::string_view& line, run::Bool16& eofile,
                      std::int32_t& perc) {
  eofile = run::kFalse;
  switch (ctx.state.encodingName) {
    case run::Encoding::UTF16BE:
      return readUTF16(ctx, line, eofile, perc, true);
    case run::Encoding::UTF16LE:
      return readUTF16(ctx, line, eofile, perc, false);
    case run::Encoding::UTF8:
      return readUTF8(ctx, line, eofile, perc);
  }
}

void copyXMLlines(run::Context& ctx, platform::FileNo out, std::string_view last,
                  run::Bool16& eofile, std::int32_t& perc) {
  run::RunState& st = ctx.state;
  eofile = run::kFalse;
  if (st.encodingName == run::Encoding::UTF8 && st.inputLength == 0) {
    // The lines come as they lie, unchanged: the file table copies them without handing each one
    // over. The count stops with Overflow at the same line as inputPosition's own would.
    ctx.files.clearError();
    std::int64_t bytes = 0;
    const std::int64_t limit = std::numeric_limits<std::int32_t>::max() - st.inputPosition;
    const platform::CopyStatus status =
        ctx.files.copyLines(st.inputFileNo, out, last, bytes, limit);
    st.inputPosition = base::add32(st.inputPosition, bytes);
    switch (status) {
      case platform::CopyStatus::Ok:
        return;
      case platform::CopyStatus::ReadFailed:
        readFailure(ctx, true);
        [[fallthrough]];
      case platform::CopyStatus::End:
        eofile = run::kTrue;
        return;
      case platform::CopyStatus::WriteFailed:
        reportWriteFailure(ctx, ctx.files.name(out));
    }
  }
  for (std::string_view line; line != last;) {
    inputXMLlineView(ctx, line, eofile, perc);
    if (eofile != run::kFalse) return;
    writeLineOrEnd(ctx, out, line);
  }
}

void inputXMLline(run::Context& ctx, std::string& i, run::Bool16& eofile, std::int32_t& perc) {
  std::string_view line;
  inputXMLlineView(ctx, line, eofile, perc);
  if (eofile == run::kFalse) i.assign(line);
}

}  // namespace xmlio
