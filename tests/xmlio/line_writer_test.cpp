#include "xmlio/line_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scripted_dialogs.h"
#include "xmlio/input_open.h"
#include "xmlio/line_reader.h"

namespace {

using namespace std::string_literals;
using testsupport::hex;
using testsupport::TestRun;

std::string writeLines(TestRun& run, const std::string& encoding,
                       const std::vector<std::string>& lines) {
  run.ctx.state.encodingName = encoding;
  run.ctx.state.outputFileNo = 1;
  EXPECT_TRUE(run.ctx.files.open(1, "OUT.XML", platform::Mode::TextOut));
  for (const auto& line : lines) xmlio::writeXML(run.ctx, line);
  EXPECT_TRUE(run.ctx.files.close(1));
  EXPECT_EQ(run.ctx.state.outputRecordCount, static_cast<std::int32_t>(lines.size()));
  return run.fs.get("OUT.XML");
}

TEST(LineWriter, BytesPerEncoding) {
  struct Case {
    const char* name;
    const char* encoding;
    std::vector<std::string> lines;
    std::string bytes;
  };
  const Case cases[] = {
      {"UTF-16LE: mark once, units, CR LF units",
       "UTF-16LE",
       {"ab", ""},
       "\xFF\xFE"
       "a\0b\0\r\0\n\0\r\0\n\0"s},
      {"UTF-16LE: sequences become their units",
       "UTF-16LE",
       {"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\xED\xA0\xB4\xED\xB4\x9E"},
       "\xFF\xFE\xE9\0\xAC\x20\x34\xD8\x1E\xDD\x34\xD8\x1E\xDD\r\0\n\0"s},
      {"UTF-16LE: a byte that begins no sequence is widened",
       "UTF-16LE",
       {"\xC3x\xFF\xE0\x80\x80"},
       "\xFF\xFE\xC3\0x\0\xFF\0\xE0\0\x80\0\x80\0\r\0\n\0"s},
      {"UTF-8: as it stands",
       "UTF-8",
       {"\ta", "", "\xEF\xBB\xBF\xC3"},
       "\ta\r\n\r\n\xEF\xBB\xBF\xC3\r\n"},
      {"UTF-16BE: UTF-8 with surrogate pairs joined",
       "UTF-16BE",
       {"\xC3\xA9", "x\xED\xA0\xB4\xED\xB4\x9Ey", "\xED\xB4\x9E\xED\xA0\xB4"},
       "\xC3\xA9\r\nx\xF0\x9D\x84\x9Ey\r\n\xED\xB4\x9E\xED\xA0\xB4\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t block : {3, 64}) {
      TestRun run(block);
      EXPECT_EQ(hex(writeLines(run, c.encoding, c.lines)), hex(c.bytes));
    }
  }
}

TEST(LineWriter, Utf16WidensEveryByte) {
  const std::string arg = "<a>";
  EXPECT_EQ(xmlio::utf16(arg), "<\0a\0>\0"s);
  EXPECT_EQ(arg, "<a>");
  EXPECT_EQ(xmlio::utf16(""), "");
}

// Reads a whole input and writes every line back, as a run without groups does.
std::string roundTrip(const std::string& encoding, const std::string& input,
                      std::size_t block = 5) {
  TestRun run(block);
  run.fs.put("in.xml", input);
  run.ctx.state.inputPath = "in.xml";
  run.ctx.state.encodingName = encoding;
  platform::Bool16 failed = platform::kFalse;
  xmlio::opeFileIn(run.ctx, failed);
  EXPECT_EQ(failed, platform::kFalse);
  run.ctx.state.outputFileNo = run.ctx.files.freeFile();
  EXPECT_TRUE(run.ctx.files.open(run.ctx.state.outputFileNo, "OUT.XML", platform::Mode::TextOut));
  std::string line;
  std::int32_t perc = 0;
  for (;;) {
    platform::Bool16 eofile = platform::kFalse;
    xmlio::inputXMLline(run.ctx, line, eofile, perc);
    if (eofile != platform::kFalse) break;
    if (!line.empty()) xmlio::writeXML(run.ctx, line);
  }
  EXPECT_TRUE(run.ctx.files.close(run.ctx.state.outputFileNo));
  return run.fs.get("OUT.XML");
}

std::string units(const std::u16string& text, bool bigEndian) {
  std::string b = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : text) {
    const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
    b += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return b;
}

TEST(LineWriter, UTF16LEScoreKeepsEveryUnit) {
  const std::u16string text =
      u"<?xml?>\r\n\t<text>Gr\u00FC\u00DFe \u97F3\u697D \U0001D11E \u20AC</text>\r\n";
  EXPECT_EQ(hex(roundTrip("UTF-16LE", units(text, false))), hex(units(text, false)));
}

TEST(LineWriter, UTF16LEKeepsEveryUnitOfRunsOfAnyLength) {
  // ASCII runs of every length around the eight bytes widened at once, broken by characters of
  // two, three and four bytes, and a line longer than any buffer on the way.
  const std::u16string breaks[] = {u"\u00E9", u"\u97F3", u"\U0001D11E", u"\u00FF\u0100"};
  std::u16string text = u"<?xml?>\r\n";
  for (std::size_t run = 0; run < 20; ++run) {
    const std::u16string ascii(run, static_cast<char16_t>(u'A' + run));
    text += ascii + breaks[run % 4] + ascii + u"\r\n";
  }
  for (std::size_t k = 0; k < 6000; ++k) text += static_cast<char16_t>(k % 7 == 6 ? 0x3B1 : u'a');
  text += u"\r\n";
  for (std::size_t block : {1, 5, 64, 65536}) {
    EXPECT_EQ(hex(roundTrip("UTF-16LE", units(text, false), block)), hex(units(text, false)))
        << "block " << block;
  }
}

TEST(LineWriter, UTF16BEScoreBecomesValidUTF8) {
  const std::u16string text = u"<?xml?>\r\n<t>\u00E9 \U0001D11E \U0001F600</t>\r\n";
  EXPECT_EQ(hex(roundTrip("UTF-16BE", units(text, true))),
            hex("<?xml?>\r\n<t>\xC3\xA9 \xF0\x9D\x84\x9E \xF0\x9F\x98\x80</t>\r\n"));
}

TEST(LineWriter, AFailedWriteIsReported) {
  TestRun run(4);
  run.ctx.state.encodingName = "UTF-8";
  run.ctx.state.outputFileNo = 1;
  ASSERT_TRUE(run.ctx.files.open(1, "QUILLBRAID.XML", platform::Mode::TextOut));
  run.fs.failOn(testsupport::MemoryFileSystem::Op::Write, "QUILLBRAID.XML", 28);
  EXPECT_THROW(xmlio::writeXML(run.ctx, "longer than a block"), platform::RunEnded);
  EXPECT_EQ(run.dialogs.shown(),
            (std::vector<testsupport::Box>{
                {"Failed to write QUILLBRAID.XML\r\nSimulated failure 28", platform::kBoxStop}}));
}

}  // namespace
