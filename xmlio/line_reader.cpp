#include "xmlio/line_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "base/scan.h"
#include "base/utf16.h"
#include "xmlio/line_writer.h"

namespace xmlio {
namespace {

using platform::ReadStatus;

// The first occurrence of `pattern` in `s`, found through the pattern's byte at `anchor`: a byte
// that lines rarely hold keeps the search from stopping at every blank.
std::size_t findAnchored(std::string_view line, std::string_view pattern, std::size_t anchor) {
  if (line.size() < pattern.size()) return std::string_view::npos;
  const char* const base = line.data();
  const std::size_t last = line.size() - pattern.size() + anchor;  // the anchor's last place
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
void replaceRescanning(std::string& line, std::string_view pattern, std::size_t anchor,
                       std::string_view replacement) {
  const std::size_t first = findAnchored(line, pattern, anchor);
  if (first == std::string::npos) return;
  const std::size_t p = pattern.size();
  std::size_t w = first;
  for (std::size_t r = first; r < line.size(); ++r) {
    line[w++] = line[r];
    if (w >= p && line[w - 1] == pattern.back() &&
        std::memcmp(line.data() + w - p, pattern.data(), p) == 0) {
      w -= p;
      std::memcpy(line.data() + w, replacement.data(), replacement.size());
      w += replacement.size();
    }
  }
  line.resize(w);
}

void replaceByte(std::string& line, char from, char to) {
  for (char* c = static_cast<char*>(std::memchr(line.data(), from, line.size())); c != nullptr;
       c = static_cast<char*>(
           std::memchr(c, from, line.size() - static_cast<std::size_t>(c - line.data())))) {
    *c = to;
  }
}

// The replacements a line may need, found in one pass over it. Most lines need none, and are left
// as they are after this pass.
enum Trigger : unsigned {
  kApostrophe = 1u << 0,  // looked for only when apostrophes become double quotes
  kLineFeed = 1u << 1,
  kAmpersand = 1u << 2,
  kBlankEquals = 1u << 3,  // " = ", or an "=" beside which an LF may become a blank
};

unsigned triggersIn(std::string_view line, bool apostrophes) {
  static constexpr auto kTrigger = [] {
    std::array<unsigned char, 256> table{};
    table['\''] = kApostrophe;
    table['\n'] = kLineFeed;
    table['&'] = kAmpersand;
    return table;
  }();
  unsigned found = 0;
  bool equals = false;
  const auto equalsAt = [&](std::size_t at) {
    equals = true;
    if (at > 0 && at + 1 < line.size() && line[at - 1] == ' ' && line[at + 1] == ' ') {
      found |= kBlankEquals;
    }
  };
  std::size_t at = 0;
  for (; at + 16 <= line.size(); at += 16) {
    const char* const block = line.data() + at;
    found |= (base::matchMask16(block, '\'') != 0 ? kApostrophe : 0u) |
             (base::matchMask16(block, '\n') != 0 ? kLineFeed : 0u) |
             (base::matchMask16(block, '&') != 0 ? kAmpersand : 0u);
    for (unsigned eq = base::matchMask16(block, '='); eq != 0; eq &= eq - 1) {
      equalsAt(at + static_cast<std::size_t>(std::countr_zero(eq)));
    }
  }
  for (; at < line.size(); ++at) {
    if (line[at] == '=') equalsAt(at);
    found |= kTrigger[static_cast<unsigned char>(line[at])];
  }
  if (equals && (found & kLineFeed) != 0) found |= kBlankEquals;
  return apostrophes ? found : found & ~kApostrophe;
}

// The fixed replacements in their order, each repeated from the line's start: text that one makes
// is searched again. A result that XML readers must accept keeps its entities as written: "&"
// alone is no text a reader takes.
void normaliseLine(std::string& line, const run::RunState& st, std::int32_t& perc) {
  if (perc > 100) perc = 100;
  if (line.empty()) return;
  const unsigned triggers = triggersIn(line, st.apostropheQuoted != run::kFalse);
  if ((triggers & kApostrophe) != 0) replaceByte(line, '\'', '"');
  if ((triggers & kLineFeed) != 0) replaceByte(line, '\n', ' ');
  if ((triggers & kAmpersand) != 0 && !st.validOutput) {
    replaceRescanning(line, "&amp;", 0, "&");
    replaceRescanning(line, "&apos;", 0, "'");
  }
  if ((triggers & kBlankEquals) != 0) replaceRescanning(line, " = ", 1, "=");
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
  std::string text =
      "Error " + std::to_string(ctx.fileSystem.lastError().code) + " during input. Consult support";
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
  normaliseLine(own, st, perc);
  line = own;
}

// A CR or an LF unit ends a line of a UTF-16 input.
constexpr std::uint16_t kCR = 0x0D, kLF = 0x0A;
constexpr bool isLineEnd(std::uint32_t unit) { return unit == kCR || unit == kLF; }

// Decodes the whole units of `bytes` into `line` up to and including the first CR or LF unit.
// Returns how many bytes were taken; `ended` tells whether a CR or LF unit was among them.
std::size_t decodeUnits(std::string_view bytes, bool bigEndian, std::string& line, bool& ended) {
  const base::UnitScan scan = base::scanUnits(bytes, bigEndian, kCR, kLF);
  const std::size_t old = line.size();
  if (scan.ascii) {
    line.resize(old + scan.end / 2);
    base::narrowUnits(bytes.data(), scan.end / 2, bigEndian, line.data() + old);
  } else {
    line.resize(old + scan.end / 2 * 3);  // a unit gives at most three bytes
    char* const start = line.data() + old;
    char* out = start;
    for (std::size_t k = 0; k < scan.end; k += 2) {
      out = base::utf16::putUTF8(out, base::utf16::unitAt(bytes.data() + k, bigEndian));
    }
    line.resize(old + static_cast<std::size_t>(out - start));
  }
  ended = scan.stopped;
  return scan.stopped ? scan.end + 2 : scan.end;
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
      const std::size_t taken = decodeUnits(units, bigEndian, line, ended);
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
    const char pair[2] = {static_cast<char>(b1), static_cast<char>(b2)};
    const std::uint32_t unit = base::utf16::unitAt(pair, bigEndian);
    if (isLineEnd(unit)) return true;
    char utf8[3];
    line.append(utf8, static_cast<std::size_t>(base::utf16::putUTF8(utf8, unit) - utf8));
  }
}

void readUTF16(run::Context& ctx, std::string_view& delivered, run::Bool16& eofile,
               std::int32_t& perc, bool bigEndian) {
  run::RunState& st = ctx.state;
  std::string& line = ctx.readerScratch;
  line.clear();
  std::int64_t consumed = 0;
  // A line that ends at its first unit, as every CR LF of a UTF-16 input leaves one, costs no more
  // than its two bytes when they are buffered.
  const std::string_view next = ctx.files.buffered(st.inputFileNo);
  if (st.inputLength >= 2 && next.size() >= 2) {
    if (isLineEnd(base::utf16::unitAt(next.data(), bigEndian))) {
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
  normaliseLine(line, st, perc);
  delivered = line;
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
                  run::Bool16& eofile, std::int32_t& perc, platform::LineWatcher* watcher) {
  run::RunState& st = ctx.state;
  eofile = run::kFalse;
  if (st.encodingName == run::Encoding::UTF8 && st.inputLength == 0) {
    // The lines come as they lie, unchanged: the file table copies them without handing each one
    // over. The count stops with Overflow at the same line as inputPosition's own would.
    ctx.files.clearError();
    std::int64_t bytes = 0;
    const std::int64_t limit = std::numeric_limits<std::int32_t>::max() - st.inputPosition;
    const platform::CopyStatus status =
        ctx.files.copyLines(st.inputFileNo, out, last, bytes, limit, watcher);
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
  std::string padded;  // a line the watcher scans past its end
  for (std::string_view line; line != last;) {
    inputXMLlineView(ctx, line, eofile, perc);
    if (eofile != run::kFalse) return;
    if (watcher != nullptr) {
      padded.assign(line).append(platform::FileTable::kReadSlack, '\0');
      watcher->see(std::string_view(padded).substr(0, line.size()));
    }
    writeLineOrEnd(ctx, out, line);
  }
}

void inputXMLline(run::Context& ctx, std::string& line, run::Bool16& eofile, std::int32_t& perc) {
  std::string_view view;
  inputXMLlineView(ctx, view, eofile, perc);
  if (eofile == run::kFalse) line.assign(view);
}

}  // namespace xmlio
