#include "xmlio/line_writer.h"

#include <cstring>

#include "base/scan.h"
#include "base/utf16.h"

namespace xmlio {
namespace {

using base::utf16::codePointAt;
using platform::FileNo;
using platform::FileTable;

// Writes the UTF-16LE units of the character at `line[from]` at `at`; moves `from` past it.
char* putCharacter(char* at, std::string_view line, std::size_t& from) {
  std::size_t length = 1;
  const std::uint32_t codePoint = codePointAt(line, from, length);
  from += length;
  return base::utf16::putUTF16LE(at, codePoint);
}

// Writes each character back as UTF-16LE units, followed by CR LF. The units are made in place in
// the output's block.
bool writeUTF16LE(FileTable& files, FileNo no, std::string_view line) {
  for (std::size_t i = 0; i < line.size();) {
    char* at = nullptr;
    std::size_t room = 0;
    if (!files.room(no, at, room)) return false;
    char* const start = at;
    char* const end = at + room;
    for (;;) {
      const std::size_t ascii =
          base::widenASCII(line.substr(i), at, static_cast<std::size_t>(end - at));
      i += ascii;
      at += 2 * ascii;
      // Room for a surrogate pair before each other character.
      if (i == line.size() || end - at < 4) break;
      at = putCharacter(at, line, i);
    }
    files.commit(no, static_cast<std::size_t>(at - start));
    if (at == start) {
      // Less room than a pair at the block'line end: the units go through the writer that splits
      // them.
      char units[4];
      const char* const last = putCharacter(units, line, i);
      for (const char* unit = units; unit != last; unit += 2) {
        if (!files.write(no, std::string_view(unit, 2))) return false;
      }
    }
  }
  return files.write(no, std::string_view("\r\0\n\0", 4));
}

// A UTF-16BE input reaches the output as UTF-8; a character outside the Basic Multilingual Plane
// arrives as two three-byte surrogate sequences, joined here into its one four-byte sequence.
bool writeJoiningSurrogates(FileTable& files, FileNo no, std::string_view line) {
  if (std::memchr(line.data(), 0xED, line.size()) == nullptr) return files.writeLine(no, line);
  // The pieces go into the file table'line block as they come: no line is assembled first.
  std::size_t from = 0;
  for (std::size_t at = line.find('\xED'); at != std::string_view::npos;
       at = line.find('\xED', at)) {
    std::size_t length = 0, second = 0;
    const std::uint32_t high = codePointAt(line, at, length);
    const std::uint32_t low =
        length == 3 && at + 3 < line.size() ? codePointAt(line, at + 3, second) : 0;
    if (!base::utf16::isHighSurrogate(high) || !base::utf16::isLowSurrogate(low)) {
      ++at;
      continue;
    }
    char four[4];
    base::utf16::putUTF8(four, base::utf16::joinSurrogates(high, low));
    if (!files.write(no, line.substr(from, at - from)) ||
        !files.write(no, std::string_view(four, 4)))
      return false;
    at += 6;
    from = at;
  }
  return files.writeLine(no, line.substr(from));
}

}  // namespace

void reportWriteFailure(run::Context& ctx, std::string_view name) {
  std::string text = "Failed to write ";
  text += name;
  text += "\r\n";
  text += ctx.fileSystem.lastError().text;
  run::reportAndEnd(ctx, text);
}

void closeOrEnd(run::Context& ctx, platform::FileNo no) {
  const std::string name = ctx.files.name(no);
  if (!ctx.files.close(no)) reportWriteFailure(ctx, name);
}

void writeEncodedXML(run::Context& ctx, std::string_view line) {
  run::RunState& st = ctx.state;
  const FileNo no = st.outputFileNo;
  const bool ok = st.encodingName == run::Encoding::UTF16LE
                      ? (st.outputRecordCount != 1 || ctx.files.write(no, "\xFF\xFE")) &&
                            writeUTF16LE(ctx.files, no, line)
                      : writeJoiningSurrogates(ctx.files, no, line);
  if (!ok) reportWriteFailure(ctx, ctx.files.name(no));
}

}  // namespace xmlio
