// The line reader over arbitrary bytes in each encoding, checked against a plain reading of the
// same bytes: split at the line ends, widen UTF-16 units one by one, replace until nothing is left.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/context.h"
#include "fuzz/fuzz_support.h"
#include "xmlio/input_open.h"
#include "xmlio/line_reader.h"

namespace {

void replaceAllFromStart(std::string& s, std::string_view pattern, std::string_view replacement) {
  for (std::size_t at = s.find(pattern); at != std::string::npos; at = s.find(pattern)) {
    s.replace(at, pattern.size(), replacement);
  }
}

std::string normalised(std::string line, bool apostropheQuoted) {
  for (char& c : line) {
    if (apostropheQuoted && c == '\'') c = '"';
    if (c == '\n') c = ' ';
  }
  replaceAllFromStart(line, "&amp;", "&");
  replaceAllFromStart(line, "&apos;", "'");
  replaceAllFromStart(line, " = ", "=");
  return line;
}

// CR LF and a lone CR end a line; a lone LF stays in it; the bytes after the last CR make a line.
std::vector<std::string> utf8Lines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r') {
      line += bytes[i];
      continue;
    }
    lines.push_back(line);
    line.clear();
    if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Every unit 000D or 000A ends a line; a line without its end, or cut by an odd byte, is lost.
std::vector<std::string> utf16Lines(std::string_view bytes, bool bigEndian) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const auto b1 = static_cast<unsigned char>(bytes[i]);
    const auto b2 = static_cast<unsigned char>(bytes[i + 1]);
    const unsigned unit = bigEndian ? (b1 << 8u | b2) : (b2 << 8u | b1);
    if (unit == 0x0D || unit == 0x0A) {
      lines.push_back(line);
      line.clear();
    } else if (unit < 0x80) {
      line += static_cast<char>(unit);
    } else if (unit < 0x800) {
      line += static_cast<char>(0xC0 | (unit >> 6));
      line += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      line += static_cast<char>(0xE0 | (unit >> 12));
      line += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      line += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Bytes in(data, size);
  const std::uint8_t mode = in.byte();
  const std::uint8_t block = in.byte();
  const std::string bytes(in.rest());
  const char* const encodings[] = {"UTF-8", "UTF-16LE", "UTF-16BE"};
  const int encoding = (mode & 3u) % 3;
  const bool apostropheQuoted = (mode & 4u) != 0;
  // A UTF-8 input is normalised only when a repair copy gave it a length.
  const bool repaired = (mode & 8u) != 0;

  testsupport::MemoryFileSystem fs;
  fs.put("in.xml", bytes);
  fuzzsupport::BitDialogs dialogs(0);
  fuzzsupport::QuietProcess process;
  app::Context ctx(fs, dialogs, process, fuzzsupport::blockSize(block));
  app::RunState& st = ctx.state;
  st.inputPath = "in.xml";
  st.encodingName = encodings[encoding];
  st.apostropheQuoted = apostropheQuoted ? platform::kTrue : platform::kFalse;
  platform::Bool16 failed = platform::kFalse;
  xmlio::opeFileIn(ctx, failed);
  if (failed != platform::kFalse) fuzzsupport::fail("opening an existing input failed");
  if (encoding == 0 && repaired) st.inputLength = static_cast<std::int32_t>(bytes.size()) + 1;

  std::vector<std::string> expected;
  if (encoding == 0) {
    for (const std::string& line : utf8Lines(bytes)) {
      expected.push_back(repaired ? normalised(line, apostropheQuoted) : line);
    }
  } else {
    for (const std::string& line : utf16Lines(bytes, encoding == 2)) {
      expected.push_back(normalised(line, apostropheQuoted));
    }
  }

  std::vector<std::string> delivered;
  std::string line;
  std::int32_t perc = 0;
  platform::Bool16 eofile = platform::kFalse;
  for (;;) {
    xmlio::inputXMLline(ctx, line, eofile, perc);
    if (eofile != platform::kFalse) break;
    delivered.push_back(line);
    if (delivered.size() > bytes.size() + 1)
      fuzzsupport::fail("the reader does not come to an end");
    if (perc < 0 || perc > 100) fuzzsupport::fail("progress figure out of range");
  }
  xmlio::inputXMLline(ctx, line, eofile, perc);
  if (eofile == platform::kFalse) fuzzsupport::fail("a line after the end of input");
  if (delivered != expected) fuzzsupport::fail("lines differ from a plain reading of the bytes");
  if (!dialogs.shown().empty()) fuzzsupport::fail("a box without a failure");
  return 0;
}
