#include "xmlio/line_writer.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xmlio {
namespace {

using platform::FileNo;
using platform::FileTable;

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The unit that the reader rendered as the UTF-8 sequence at `s` (one to three bytes, surrogates
// included: the reader renders each unit by itself); `length` takes the sequence's length. A lead
// byte cut off from its continuation bytes stands for itself.
std::uint32_t unitAt(std::string_view s, std::size_t& length) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  if (b(0) >= 0xE0 && s.size() >= 3) {
    length = 3;
    return (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
  }
  if (b(0) >= 0xC0 && s.size() >= 2) {
    length = 2;
    return (b(0) & 0x1Fu) << 6 | (b(1) & 0x3Fu);
  }
  length = 1;
  return b(0);
}

char* putUnit(char* at, std::uint32_t unit) {
  at[0] = static_cast<char>(unit & 0xFF);
  at[1] = static_cast<char>(unit >> 8);
  return at + 2;
}

// Writes each unit back as the reader read it from a UTF-16LE input, followed by CR LF. The units
// are made in place in the output's block.
bool writeUTF16LE(FileTable& files, FileNo no, std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    char* at = nullptr;
    std::size_t room = 0;
    if (!files.room(no, at, room)) return false;
    char* const end = at + room;
    char* const start = at;
#if defined(__SSE2__)
    // Scores are mostly ASCII: sixteen bytes become thirty-two while no byte has its top bit set.
    for (; s.size() - i >= 16 && end - at >= 32; i += 16, at += 32) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
      if (_mm_movemask_epi8(v) != 0) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_unpacklo_epi8(v, _mm_setzero_si128()));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 16),
                       _mm_unpackhi_epi8(v, _mm_setzero_si128()));
    }
    if (s.size() - i >= 8 && end - at >= 16) {
      const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.data() + i));
      if (_mm_movemask_epi8(v) == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_unpacklo_epi8(v, _mm_setzero_si128()));
        i += 8;
        at += 16;
      }
    }
#endif
    for (; i < s.size() && end - at >= 2; at += 2) {
      std::size_t length = 1;
      const std::uint32_t unit = static_cast<unsigned char>(s[i]) < 0x80
                                     ? static_cast<unsigned char>(s[i])
                                     : unitAt(s.substr(i), length);
      putUnit(at, unit);
      i += length;
    }
    files.commit(no, static_cast<std::size_t>(at - start));
    if (at == start) {
      // One byte left in the block: the unit goes through the writer that splits it.
      std::size_t length = 1;
      char unit[2];
      putUnit(unit, unitAt(s.substr(i), length));
      if (!files.write(no, std::string_view(unit, 2))) return false;
      i += length;
    }
  }
  return files.write(no, std::string_view("\r\0\n\0", 4));
}

bool isSurrogateSequence(std::string_view s, std::size_t at, unsigned char lo, unsigned char hi) {
  return at + 3 <= s.size() && static_cast<unsigned char>(s[at]) == 0xED &&
         static_cast<unsigned char>(s[at + 1]) >= lo &&
         static_cast<unsigned char>(s[at + 1]) <= hi &&
         isContinuation(static_cast<unsigned char>(s[at + 2]));
}

// A UTF-16BE input reaches the output as UTF-8; a character outside the Basic Multilingual Plane
// arrives as two three-byte surrogate sequences, joined here into its one four-byte sequence.
bool writeJoiningSurrogates(FileTable& files, FileNo no, std::string_view s) {
  if (std::memchr(s.data(), 0xED, s.size()) == nullptr) return files.writeLine(no, s);
  // The pieces go into the file table's block as they come: no line is assembled first.
  std::size_t from = 0;
  for (std::size_t at = s.find('\xED'); at != std::string_view::npos; at = s.find('\xED', at)) {
    if (!isSurrogateSequence(s, at, 0xA0, 0xAF) || !isSurrogateSequence(s, at + 3, 0xB0, 0xBF)) {
      ++at;
      continue;
    }
    const auto unit = [&](std::size_t k) {
      return (0xDu << 12) | (static_cast<unsigned char>(s[k + 1]) & 0x3Fu) << 6 |
             (static_cast<unsigned char>(s[k + 2]) & 0x3Fu);
    };
    const std::uint32_t cp = 0x10000 + ((unit(at) - 0xD800) << 10) + (unit(at + 3) - 0xDC00);
    const char four[4] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    if (!files.write(no, s.substr(from, at - from)) || !files.write(no, std::string_view(four, 4)))
      return false;
    at += 6;
    from = at;
  }
  return files.writeLine(no, s.substr(from));
}

}  // namespace

void reportWriteFailure(app::Context& ctx, std::string_view name) {
  std::string text = "Failed to write ";
  text += name;
  text += "\r\n";
  text += ctx.files.fileSystem().lastError().text;
  app::reportAndEnd(ctx, text);
}

void closeOrEnd(app::Context& ctx, platform::FileNo no) {
  const std::string name = ctx.files.name(no);
  if (!ctx.files.close(no)) reportWriteFailure(ctx, name);
}

void writeEncodedXML(app::Context& ctx, std::string_view s) {
  app::RunState& st = ctx.state;
  const FileNo no = st.outputFileNo;
  bool ok = true;
  switch (st.encodingName) {
    case app::Encoding::UTF16LE:
      if (st.outputRecordCount == 1) ok = ctx.files.write(no, "\xFF\xFE");
      ok = ok && writeUTF16LE(ctx.files, no, s);
      break;
    case app::Encoding::UTF16BE:
      ok = writeJoiningSurrogates(ctx.files, no, s);
      break;
    case app::Encoding::UTF8:
      ok = ctx.files.writeLine(no, s);
      break;
  }
  if (!ok) reportWriteFailure(ctx, ctx.files.name(no));
}

}  // namespace xmlio
