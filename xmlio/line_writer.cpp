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

// The code point of the UTF-8 sequence at `s[i]`, and its length. Well-formed sequences of two,
// three or four bytes count, and so do the three-byte forms of surrogates: the reader renders each
// half of a UTF-16 pair as one, and writing it back gives the unit it read. Any other byte stands
// for itself, a sequence cut short included.
std::uint32_t codePointAt(std::string_view s, std::size_t i, std::size_t& length) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const std::size_t left = s.size() - i;
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

char* putUnit(char* at, std::uint32_t unit) {
  at[0] = static_cast<char>(unit & 0xFF);
  at[1] = static_cast<char>(unit >> 8);
  return at + 2;
}

// Writes the UTF-16LE unit, or surrogate pair, of the sequence at `s[i]`; moves `i` past it.
char* putUnits(char* at, std::string_view s, std::size_t& i) {
  std::size_t length = 1;
  const std::uint32_t cp = codePointAt(s, i, length);
  i += length;
  if (cp < 0x10000) return putUnit(at, cp);
  return putUnit(putUnit(at, 0xD800 + ((cp - 0x10000) >> 10)), 0xDC00 + ((cp - 0x10000) & 0x3FF));
}

// Writes each character back as UTF-16LE units, followed by CR LF. The units are made in place in
// the output's block.
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
    // Room for a surrogate pair before each character.
    while (i < s.size() && end - at >= 4) {
      if (static_cast<unsigned char>(s[i]) < 0x80) {
        at = putUnit(at, static_cast<unsigned char>(s[i++]));
      } else {
        at = putUnits(at, s, i);
      }
    }
    files.commit(no, static_cast<std::size_t>(at - start));
    if (at == start) {
      // Less room than a pair at the block's end: the units go through the writer that splits them.
      char units[4];
      const char* const last = putUnits(units, s, i);
      for (const char* unit = units; unit != last; unit += 2) {
        if (!files.write(no, std::string_view(unit, 2))) return false;
      }
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

void reportWriteFailure(run::Context& ctx, std::string_view name) {
  std::string text = "Failed to write ";
  text += name;
  text += "\r\n";
  text += ctx.files.fileSystem().lastError().text;
  run::reportAndEnd(ctx, text);
}

void closeOrEnd(run::Context& ctx, platform::FileNo no) {
  const std::string name = ctx.files.name(no);
  if (!ctx.files.close(no)) reportWriteFailure(ctx, name);
}

void writeEncodedXML(run::Context& ctx, std::string_view s) {
  run::RunState& st = ctx.state;
  const FileNo no = st.outputFileNo;
  bool ok = true;
  switch (st.encodingName) {
    case run::Encoding::UTF16LE:
      if (st.outputRecordCount == 1) ok = ctx.files.write(no, "\xFF\xFE");
      ok = ok && writeUTF16LE(ctx.files, no, s);
      break;
    case run::Encoding::UTF16BE:
      ok = writeJoiningSurrogates(ctx.files, no, s);
      break;
    case run::Encoding::UTF8:
      ok = ctx.files.writeLine(no, s);
      break;
  }
  if (!ok) reportWriteFailure(ctx, ctx.files.name(no));
}

}  // namespace xmlio
