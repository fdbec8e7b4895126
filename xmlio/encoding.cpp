#include "xmlio/encoding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace xmlio {
namespace {

using platform::Mode;
using platform::ReadStatus;

constexpr std::size_t kProbeSize = 1000;
constexpr std::string_view kRepairCopy = "KESTRINBAY.WRK";
using Probe = std::array<unsigned char, kProbeSize>;

bool startsWith(const Probe& probe, std::string_view bytes) {
  return std::memcmp(probe.data(), bytes.data(), bytes.size()) == 0;
}

// Copies the input with every LF turned into CR LF; a CR already there stays a byte of its own.
// Streams a block at a time. Failures past the opens are passed over: the copy is a courtesy
// beside the input, which the run goes on reading unchanged.
void writeRepairCopy(app::Context& ctx) {
  app::RunState& st = ctx.state;
  std::uint64_t length = 0;
  ctx.files.fileSystem().clearError();
  if (ctx.files.fileSystem().length(st.inputPath, length)) {
    st.inputLength = platform::checkedNarrow<std::int32_t>(static_cast<std::int64_t>(length));
  }

  st.inputFileNo = ctx.files.freeFile();
  if (!ctx.files.open(st.inputFileNo, st.inputPath, Mode::RawIn)) {
    app::reportAndEnd(ctx, "Open error 2 on " + st.inputPath);
  }
  const auto slash = st.inputPath.rfind('\\');
  const std::string folder = slash == std::string::npos ? "" : st.inputPath.substr(0, slash + 1);
  // A repaired score run again still carries the copy's name; writing the copy would empty it.
  std::string name = st.inputPath.substr(folder.size());
  for (char& c : name) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  if (name == kRepairCopy) {
    app::reportAndEnd(
        ctx, "Failed to create workfile\r\nIt would replace the input file " + st.inputPath);
  }
  const platform::FileNo out = ctx.files.freeFile();
  if (!ctx.files.open(out, folder + std::string(kRepairCopy), Mode::TextOut)) {
    app::reportAndEnd(ctx, "Failed to create workfile");
  }

  std::int64_t left = st.inputLength;
  bool openRecord = false;
  while (left > 0) {
    std::string_view block;
    if (ctx.files.peek(st.inputFileNo, block) != ReadStatus::Ok || block.empty()) {
      // Bytes that cannot be read count as zero bytes at their own positions, as in the probe.
      const std::string zeros(static_cast<std::size_t>(std::min<std::int64_t>(left, 4096)), '\0');
      static_cast<void>(ctx.files.write(out, zeros));
      ctx.files.advance(st.inputFileNo, zeros.size());
      left -= static_cast<std::int64_t>(zeros.size());
      openRecord = true;
      continue;
    }
    if (static_cast<std::int64_t>(block.size()) > left) {
      block = block.substr(0, static_cast<std::size_t>(left));
    }
    ctx.files.advance(st.inputFileNo, block.size());
    left -= static_cast<std::int64_t>(block.size());
    while (!block.empty()) {
      const auto lf = block.find('\n');
      if (lf == std::string_view::npos) {
        static_cast<void>(ctx.files.write(out, block));
        openRecord = true;
        break;
      }
      static_cast<void>(ctx.files.writeLine(out, block.substr(0, lf)));
      openRecord = false;
      block.remove_prefix(lf + 1);
    }
  }
  // Bytes after the last LF still make a record of their own.
  if (openRecord) static_cast<void>(ctx.files.write(out, "\r\n"));
  static_cast<void>(ctx.files.close(out));
  static_cast<void>(ctx.files.close(st.inputFileNo));
}

}  // namespace

void establishEncoding(app::Context& ctx) {
  app::RunState& st = ctx.state;
  st.encodingName.clear();
  st.apostropheQuoted = platform::kFalse;

  st.inputFileNo = ctx.files.freeFile();
  if (!ctx.files.open(st.inputFileNo, st.inputPath, Mode::RawIn)) {
    app::reportAndEnd(ctx, "Open error 1 on " + st.inputPath);
  }
  Probe probe{};
  std::int32_t carriageReturns = 0;
  for (std::size_t pos = 1; pos <= kProbeSize; ++pos) {
    unsigned char byte = 0;
    // Positions past the end, and bytes that cannot be read, hold zero.
    if (ctx.files.readByteAt(st.inputFileNo, static_cast<std::int64_t>(pos), byte) !=
        ReadStatus::Ok) {
      byte = 0;
    }
    probe[pos - 1] = byte;
    if (byte == 0x0D) carriageReturns = platform::add32(carriageReturns, 1);
  }
  static_cast<void>(ctx.files.close(st.inputFileNo));

  using namespace std::string_literals;
  if (startsWith(probe, "\xFF\xFE<\0?\0x\0m\0l\0"s)) {
    st.encodingName = "UTF-16LE";
  } else if (startsWith(probe, "<?xm")) {
    st.encodingName = "UTF-8";
  } else if (startsWith(probe, "\xFE\xFF\0<\0?\0x\0m\0l"s)) {
    st.encodingName = "UTF-16BE";
    if (probe[31] == '\'') st.apostropheQuoted = platform::kTrue;
  } else if (startsWith(probe, "\xEF\xBB\xBF<?xml")) {
    st.encodingName = "UTF-8";
  } else {
    app::askOrEnd(ctx,
                  "Invalid encoding. Autodetection could not establish UTF-8 or UTF-16LE/BE "
                  "character encoding.\r\n" +
                      st.inputPath + "\r\nAssume UTF-8?");
    st.encodingName = "UTF-8";
  }

  if (st.encodingName == "UTF-8" && carriageReturns == 0) {
    app::askOrEnd(ctx,
                  "Records in this UTF-8 file are not separated by Carriage Returns.\r\n"
                  "Such files are known to come from UNIX systems.\r\n"
                  "Do you want to reorganize this file with Carriage Returns inserted?");
    writeRepairCopy(ctx);
  }
}

}  // namespace xmlio
