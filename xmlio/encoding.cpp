#include "xmlio/encoding.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "base/text.h"

namespace xmlio {
namespace {

using platform::Mode;
using platform::ReadStatus;
using namespace std::string_literals;

constexpr std::string_view kRepairCopy = "KESTRINBAY.WRK";

// The byte-order marks and declaration openings, each with the encoding it shows, in the order
// the rules are tried.
const std::pair<std::string, run::Encoding> kRules[] = {
    {"\xFF\xFE<\0?\0x\0m\0l\0"s, run::Encoding::UTF16LE},
    {"<?xm"s, run::Encoding::UTF8},
    {"\xFE\xFF\0<\0?\0x\0m\0l"s, run::Encoding::UTF16BE},
    {"\xEF\xBB\xBF<?xml"s, run::Encoding::UTF8},
};

// In a UTF-16BE declaration "<?xml version=" the byte that opens the version value: the low byte
// of the fifteenth character after the byte-order mark.
constexpr std::size_t kVersionQuote = 31;

// The probe read position by position: a position that cannot be read, or that lies past the end,
// holds a zero byte.
std::string readProbe(run::Context& ctx) {
  run::RunState& st = ctx.state;
  st.inputFileNo = ctx.files.freeFile();
  if (!ctx.files.open(st.inputFileNo, st.inputPath, Mode::RawIn)) {
    run::reportAndEnd(ctx, "Open error 1 on " + st.inputPath);
  }
  std::string probe(kProbeSize, '\0');
  for (std::size_t pos = 1; pos <= kProbeSize; ++pos) {
    unsigned char byte = 0;
    if (ctx.files.readByteAt(st.inputFileNo, static_cast<std::int64_t>(pos), byte) ==
        ReadStatus::Ok) {
      probe[pos - 1] = static_cast<char>(byte);
    }
  }
  static_cast<void>(ctx.files.close(st.inputFileNo));
  return probe;
}

// Copies `block` to the repair copy `out`, every LF written as CR LF; true when it ends inside a
// record.
bool copyRecords(run::Context& ctx, platform::FileNo out, std::string_view block) {
  for (;;) {
    const auto lf = block.find('\n');
    if (lf == std::string_view::npos) {
      static_cast<void>(ctx.files.write(out, block));
      return !block.empty();
    }
    static_cast<void>(ctx.files.writeLine(out, block.substr(0, lf)));
    block.remove_prefix(lf + 1);
  }
}

// Opens the repair copy beside the input, refusing a name that would replace the input itself.
platform::FileNo openRepairCopy(run::Context& ctx) {
  const std::string& path = ctx.state.inputPath;
  const std::string_view name = base::fileName(path);
  // A repaired score run again still carries the copy's name; writing the copy would empty it.
  if (base::upperCaseASCII(name) == kRepairCopy) {
    run::reportAndEnd(ctx, "Failed to create workfile\r\nIt would replace the input file " + path);
  }
  const platform::FileNo out = ctx.files.freeFile();
  const std::string folder = path.substr(0, path.size() - name.size());
  if (!ctx.files.open(out, folder + std::string(kRepairCopy), Mode::TextOut)) {
    run::reportAndEnd(ctx, "Failed to create workfile");
  }
  return out;
}

// Copies the input with every LF turned into CR LF; a CR already there stays a byte of its own.
// Streams a block at a time. Failures past the opens are passed over: the copy is a courtesy
// beside the input, which the run goes on reading unchanged.
void writeRepairCopy(run::Context& ctx) {
  run::RunState& st = ctx.state;
  std::uint64_t length = 0;
  ctx.files.clearError();
  if (ctx.fileSystem.length(st.inputPath, length)) {
    st.inputLength = base::checkedNarrow<std::int32_t>(static_cast<std::int64_t>(length));
  }
  st.inputFileNo = ctx.files.freeFile();
  if (!ctx.files.open(st.inputFileNo, st.inputPath, Mode::RawIn)) {
    run::reportAndEnd(ctx, "Open error 2 on " + st.inputPath);
  }
  const platform::FileNo out = openRepairCopy(ctx);
  bool openRecord = false;
  for (std::int64_t left = st.inputLength; left > 0;) {
    std::string_view block;
    std::string zeros;
    if (ctx.files.peek(st.inputFileNo, block) != ReadStatus::Ok || block.empty()) {
      // Bytes that cannot be read count as zero bytes at their own positions, as in the probe.
      zeros.assign(static_cast<std::size_t>(std::min<std::int64_t>(left, 4096)), '\0');
      block = zeros;
    } else if (static_cast<std::int64_t>(block.size()) > left) {
      block = block.substr(0, static_cast<std::size_t>(left));
    }
    openRecord = copyRecords(ctx, out, block);
    ctx.files.advance(st.inputFileNo, block.size());
    left -= static_cast<std::int64_t>(block.size());
  }
  // Bytes after the last LF still make a record of their own.
  if (openRecord) static_cast<void>(ctx.files.write(out, "\r\n"));
  static_cast<void>(ctx.files.close(out));
  static_cast<void>(ctx.files.close(st.inputFileNo));
}

}  // namespace

Probe detectEncoding(std::string_view firstBytes) {
  std::array<char, kProbeSize> bytes{};
  std::copy_n(firstBytes.begin(), std::min(firstBytes.size(), kProbeSize), bytes.begin());
  Probe probe;
  for (const auto& [opening, encoding] : kRules) {
    if (std::memcmp(bytes.data(), opening.data(), opening.size()) == 0) {
      probe.encoding = encoding;
      break;
    }
  }
  probe.apostropheQuoted = probe.encoding == run::Encoding::UTF16BE && bytes[kVersionQuote] == '\'';
  probe.carriageReturns = static_cast<std::int32_t>(std::count(bytes.begin(), bytes.end(), '\r'));
  return probe;
}

std::string declaringUTF8(std::string_view declaration) {
  std::string line(declaration);
  const auto blank = [&](std::size_t at) {
    return at < line.size() && (line[at] == ' ' || line[at] == '\t');
  };
  // Blanks, encoding, blanks, "=", blanks, a quotation mark, the value, the same quotation mark.
  std::size_t at = line.find("encoding");
  while (at != std::string::npos && !blank(at - 1)) at = line.find("encoding", at + 1);
  if (at == std::string::npos) return line;
  at += 8;
  while (blank(at)) ++at;
  if (at >= line.size() || line[at] != '=') return line;
  ++at;
  while (blank(at)) ++at;
  if (at >= line.size() || (line[at] != '"' && line[at] != '\'')) return line;
  const std::size_t end = line.find(line[at], at + 1);
  if (end == std::string::npos) return line;
  return line.replace(at + 1, end - at - 1, "UTF-8");
}

void establishEncoding(run::Context& ctx) {
  run::RunState& st = ctx.state;
  const Probe probe = detectEncoding(readProbe(ctx));
  st.apostropheQuoted = probe.apostropheQuoted ? run::kTrue : run::kFalse;
  if (!probe.encoding) {
    run::askOrEnd(ctx,
                  "Invalid encoding. Autodetection could not establish UTF-8 or UTF-16LE/BE "
                  "character encoding.\r\n" +
                      st.inputPath + "\r\nAssume UTF-8?");
  }
  st.encodingName = probe.encoding.value_or(run::Encoding::UTF8);
  if (st.encodingName == run::Encoding::UTF8 && probe.carriageReturns == 0) {
    run::askOrEnd(ctx,
                  "Records in this UTF-8 file are not separated by Carriage Returns.\r\n"
                  "Such files are known to come from UNIX systems.\r\n"
                  "Do you want to reorganize this file with Carriage Returns inserted?");
    writeRepairCopy(ctx);
  }
}

}  // namespace xmlio
