#include "xmlio/line_reader.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace xmlio {
namespace {

using platform::ReadStatus;

// Replaces every `pattern` by the shorter `replacement`, searching again from the line's start
// after each replacement. Done in one pass: the line is rebuilt in place like a stack, and a
// match is always found where the stack ends, which is where the leftmost match of the rescan
// would be. Neither replacement used here can end a new match by itself.
void replaceRescanning(std::string& s, std::string_view pattern, std::string_view replacement) {
  const std::size_t first = s.find(pattern);
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

// perc = inputPosition x 100 / inputLength, rounded half to even, when it can be computed.
bool progress(const app::RunState& st, std::int32_t& perc) {
  const std::int64_t scaled = std::int64_t{st.inputPosition} * 100;
  if (st.inputLength == 0 || scaled > std::numeric_limits<std::int32_t>::max()) return false;
  const double figure = static_cast<double>(scaled) / static_cast<double>(st.inputLength);
  perc = platform::checkedNarrow<std::int32_t>(static_cast<std::int64_t>(std::nearbyint(figure)));
  return true;
}

void readFailure(app::Context& ctx, bool firstByte) {
  std::string text = "Error " + std::to_string(ctx.files.fileSystem().lastError().code) +
                     " during input. Consult support";
  if (firstByte) text += ". File = " + std::to_string(ctx.state.inputFileNo);
  static_cast<void>(ctx.dialogs.show(text, platform::kBoxInfo));
}

void readUTF8(app::Context& ctx, std::string& i, platform::Bool16& eofile, std::int32_t& perc) {
  app::RunState& st = ctx.state;
  std::string& line = ctx.readerScratch;
  ctx.files.fileSystem().clearError();
  const ReadStatus status = ctx.files.readLine(st.inputFileNo, line);
  if (status == ReadStatus::Failed) readFailure(ctx, true);
  if (status != ReadStatus::Ok) {
    eofile = platform::kTrue;
    return;
  }
  std::swap(i, line);
  // Every line counts a CR LF, whatever really ended it.
  st.inputPosition = platform::add32(st.inputPosition, static_cast<std::int64_t>(i.size()) + 2);
  if (progress(st, perc)) normaliseLine(i, st.apostropheQuoted, perc);
}

void appendUTF8(std::string& out, std::uint32_t u) {
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    const char two[2] = {static_cast<char>(0xC0 + (u >> 6)), static_cast<char>(0x80 + (u & 0x3F))};
    out.append(two, 2);
  } else {
    const char three[3] = {static_cast<char>(0xE0 + (u >> 12)),
                           static_cast<char>(0x80 + ((u >> 6) & 0x3F)),
                           static_cast<char>(0x80 + (u & 0x3F))};
    out.append(three, 3);
  }
}

void readUTF16(app::Context& ctx, std::string& i, platform::Bool16& eofile, std::int32_t& perc,
               bool bigEndian) {
  app::RunState& st = ctx.state;
  if (st.inputLength <= 0) {
    eofile = platform::kTrue;
    return;
  }
  platform::FileTable& files = ctx.files;
  std::string& line = ctx.readerScratch;
  line.clear();
  std::string_view view;
  std::size_t at = 0;
  // Bytes come from the file table's block; past the physical end they read as zero, since only
  // inputLength decides where the input ends.
  const auto nextByte = [&](unsigned char& b) {
    if (at == view.size()) {
      files.advance(st.inputFileNo, at);
      at = 0;
      files.fileSystem().clearError();
      if (files.peek(st.inputFileNo, view) == ReadStatus::Failed) {
        view = {};
        return false;
      }
      if (view.empty()) {
        b = 0;
        return true;
      }
    }
    b = static_cast<unsigned char>(view[at++]);
    return true;
  };
  const auto stop = [&] {
    files.advance(st.inputFileNo, at);
    eofile = platform::kTrue;
  };

  std::int64_t consumed = 0;
  for (;;) {
    if (st.inputLength == 0) return stop();  // a last line without terminator is dropped
    unsigned char b1 = 0;
    unsigned char b2 = 0;
    if (!nextByte(b1)) {
      readFailure(ctx, true);
      return stop();
    }
    if (!nextByte(b2)) {
      readFailure(ctx, false);
      return stop();
    }
    st.inputLength = platform::add32(st.inputLength, -2);
    consumed += 2;
    const std::uint32_t unit = bigEndian ? (b1 << 8u | b2) : (b2 << 8u | b1);
    if (st.inputLength < 0) return stop();  // an odd byte was left: the pair ran past the end
    if (unit == 0x0D || unit == 0x0A) break;
    appendUTF8(line, unit);
  }
  files.advance(st.inputFileNo, at);
  st.inputPosition = platform::add32(st.inputPosition, consumed);
  progress(st, perc);
  std::swap(i, line);
  normaliseLine(i, st.apostropheQuoted, perc);
}

}  // namespace

void normaliseLine(std::string& line, platform::Bool16 apostropheQuoted, std::int32_t& perc) {
  if (apostropheQuoted != platform::kFalse) replaceByte(line, '\'', '"');
  if (perc > 100) perc = 100;
  replaceByte(line, '\n', ' ');
  if (line.find('&') != std::string::npos) {
    replaceRescanning(line, "&amp;", "&");
    replaceRescanning(line, "&apos;", "'");
  }
  replaceRescanning(line, " = ", "=");
}

void inputXMLline(app::Context& ctx, std::string& i, platform::Bool16& eofile, std::int32_t& perc) {
  eofile = platform::kFalse;
  const std::string& encoding = ctx.state.encodingName;
  if (encoding == "UTF-16BE") {
    readUTF16(ctx, i, eofile, perc, true);
  } else if (encoding == "UTF-16LE") {
    readUTF16(ctx, i, eofile, perc, false);
  } else if (encoding == "UTF-8") {
    readUTF8(ctx, i, eofile, perc);
  } else {
    app::reportAndEnd(ctx, "Unsupported encoding in inputXMLline");
  }
}

}  // namespace xmlio
