#include "xmlio/line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scripted_dialogs.h"
#include "xmlio/input_open.h"

namespace {

using namespace std::string_literals;
using testsupport::hex;
using testsupport::TestRun;

struct Read {
  std::string line;
  std::int32_t perc;
  std::int32_t position;
  bool operator==(const Read&) const = default;
};

void PrintTo(const Read& r, std::ostream* os) {
  *os << "{" << hex(r.line) << " perc " << r.perc << " pos " << r.position << "}";
}

// Opens `bytes` as the input in `encoding` and reads until the end of input.
std::vector<Read> readAll(TestRun& run, const std::string& encoding, const std::string& bytes,
                          std::int32_t inputLength = 0) {
  run.fs.put("in.xml", bytes);
  run.ctx.state.inputPath = "in.xml";
  run.ctx.state.encodingName = encoding;
  run.ctx.state.inputLength = inputLength;
  platform::Bool16 failed = platform::kFalse;
  xmlio::opeFileIn(run.ctx, failed);
  EXPECT_EQ(failed, platform::kFalse);
  std::vector<Read> reads;
  std::string line = "untouched";
  std::int32_t perc = -1;
  for (;;) {
    platform::Bool16 eofile = platform::kFalse;
    xmlio::inputXMLline(run.ctx, line, eofile, perc);
    if (eofile != platform::kFalse) break;
    reads.push_back({line, perc, run.ctx.state.inputPosition});
    if (reads.size() > 100) break;
  }
  EXPECT_EQ(line, reads.empty() ? "untouched" : reads.back().line) << "end of input leaves i alone";
  return reads;
}

std::string le(const std::u16string& units) {
  std::string b;
  for (char16_t u : units) b += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  return b;
}
std::string be(const std::u16string& units) {
  std::string b;
  for (char16_t u : units) b += {static_cast<char>(u >> 8), static_cast<char>(u & 0xFF)};
  return b;
}

TEST(LineReader, UTF16LinesInBothByteOrders) {
  struct Case {
    const char* name;
    std::u16string units;        // after the byte-order mark
    std::vector<Read> expected;  // perc -1: never computable, since nothing is left unread
  };
  const Case cases[] = {
      {"CR LF gives an empty line after each line",
       u"A\r\nB\r\n",
       {{"A", 50, 4}, {"", 100, 6}, {"B", 100, 10}, {"", 100, 12}}},
      {"a last line without terminator is dropped", u"A\rBC", {{"A", 100, 4}}},
      {"units become 1, 2 or 3 bytes each; surrogates stay separate",
       u"A\u00E9\u20AC\xD834\xDD1E\0\n"s,
       {{"A\xC3\xA9\xE2\x82\xAC\xED\xA0\xB4\xED\xB4\x9E\0"s, -1, 14}}},
      {"entities and blanks around equals signs are normalised",
       u"a  =  b &amp;amp; it&apos;s x= y\n",
       {{"a=b & it's x= y", -1, 66}}},
  };
  for (const Case& c : cases) {
    for (bool bigEndian : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (bigEndian ? " (BE)" : " (LE)"));
      for (std::size_t block : {1, 3, 64}) {
        TestRun run(block);
        const std::string bytes = bigEndian ? "\xFE\xFF" + be(c.units) : "\xFF\xFE" + le(c.units);
        auto reads = readAll(run, bigEndian ? "UTF-16BE" : "UTF-16LE", bytes);
        EXPECT_EQ(reads, c.expected) << "block " << block;
      }
    }
  }
}

TEST(LineReader, UTF16ReadsTheSameAtEveryBlockSize) {
  // ASCII runs of every length up to beyond three four-unit groups, each followed by a line end
  // or by a unit that is no line end although one of its bytes is 0D or 0A.
  const std::u16string others[] = {u"\u00E9", u"\u0D0A",     u"\u0A0D",      u"\u0D00",
                                   u"\u010D", u"\U0001D11E", u"\u20AC\u00FF"};
  const std::u16string ends[] = {u"\r\n", u"\r", u"\n"};
  std::u16string text;
  for (std::size_t run = 0; run < 15; ++run) {
    text += std::u16string(run, static_cast<char16_t>(u'a' + run));
    text += run % 2 == 0 ? ends[run / 2 % 3] : others[run / 2 % 7] + u"x\r\n";
  }
  text += u"no line end";
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "BE" : "LE");
    const std::string bytes = bigEndian ? "\xFE\xFF" + be(text) : "\xFF\xFE" + le(text);
    const std::string encoding = bigEndian ? "UTF-16BE" : "UTF-16LE";
    // Blocks of one byte never hold a whole unit, so every unit is read by itself.
    TestRun oneByOne(1);
    const std::vector<Read> expected = readAll(oneByOne, encoding, bytes);
    ASSERT_EQ(expected.size(), 25u);
    EXPECT_EQ(expected[4].line, "cc");
    EXPECT_EQ(expected[5].line, "ddd\xE0\xB4\x8Ax");
    EXPECT_EQ(expected[8].line, "fffff\xE0\xA8\x8Dx");
    EXPECT_EQ(expected[18].line, std::string(11, 'l') + "\xED\xA0\xB4\xED\xB4\x9Ex");
    EXPECT_EQ(expected[24].line, std::string(14, 'o'));
    for (std::size_t block : {2, 3, 7, 8, 9, 16, 64, 4096}) {
      TestRun run(block);
      EXPECT_EQ(readAll(run, encoding, bytes), expected) << "block " << block;
    }
  }
}

TEST(LineReader, UTF16OddByteCountEndsTheInput) {
  TestRun run;
  const auto reads = readAll(run, "UTF-16LE", "\xFF\xFE" + le(u"A\n") + "B\0C"s);
  EXPECT_EQ(reads, (std::vector<Read>{{"A", 100, 4}}));
  EXPECT_EQ(run.ctx.state.inputLength, -1);
}

TEST(LineReader, ApostropheQuotedTurnsApostrophesBeforeEntities) {
  TestRun run;
  run.ctx.state.apostropheQuoted = platform::kTrue;
  const auto reads =
      readAll(run, "UTF-16BE", "\xFE\xFF" + be(u"<?xml version='1.0'?>\nit&apos;s\n"));
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].line, "<?xml version=\"1.0\"?>");
  EXPECT_EQ(reads[1].line, "it's");
}

TEST(LineReader, UTF8LinesComeBackAsReadUnlessProgressCanBeComputed) {
  const std::string bytes = "a\nb\r\nBass &amp; Cello\r\r\nlast";
  {
    TestRun run(2);
    EXPECT_EQ(readAll(run, "UTF-8", bytes),
              (std::vector<Read>{
                  {"a\nb", -1, 5}, {"Bass &amp; Cello", -1, 23}, {"", -1, 25}, {"last", -1, 31}}));
  }
  {
    TestRun run(2);
    // After a repair copy inputLength holds the file's length and lines are normalised.
    EXPECT_EQ(readAll(run, "UTF-8", bytes, 30),
              (std::vector<Read>{
                  {"a b", 17, 5}, {"Bass & Cello", 77, 23}, {"", 83, 25}, {"last", 100, 31}}));
  }
}

TEST(LineReader, ReadFailuresAreReportedThenEndTheInput) {
  struct Case {
    std::string encoding;
    std::string bytes;
    std::int64_t failingOp;  // counted from the open
    std::string message;
  };
  const Case cases[] = {
      {"UTF-8", "abc\r\n", 1, "Error 5 during input. Consult support. File = 1"},
      // Blocks of 3 bytes: the first refill brings the second byte of the first pair, the next
      // one the first byte of the third.
      {"UTF-16LE", "\xFF\xFE" + le(u"AB\n"), 1, "Error 5 during input. Consult support"},
      {"UTF-16LE", "\xFF\xFE" + le(u"AB\n"), 2, "Error 5 during input. Consult support. File = 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TestRun run(c.encoding == "UTF-8" ? 64 : 3);
    run.fs.put("in.xml", c.bytes);
    run.ctx.state.inputPath = "in.xml";
    run.ctx.state.encodingName = c.encoding;
    platform::Bool16 failed = platform::kFalse;
    xmlio::opeFileIn(run.ctx, failed);
    ASSERT_EQ(failed, platform::kFalse);
    run.fs.failOperation(run.fs.operations() + c.failingOp);
    std::string line = "kept";
    platform::Bool16 eofile = platform::kFalse;
    std::int32_t perc = 7;
    xmlio::inputXMLline(run.ctx, line, eofile, perc);
    EXPECT_NE(eofile, platform::kFalse);
    EXPECT_EQ(line, "kept");
    EXPECT_EQ(perc, 7);
    EXPECT_EQ(run.ctx.state.inputPosition, 0);
    EXPECT_EQ(run.dialogs.shown(),
              (std::vector<testsupport::Box>{{c.message, platform::kBoxInfo}}));
  }
}

TEST(LineReader, NormalisationRescansFromTheStart) {
  const std::pair<std::string, std::string> cases[] = {
      {"&amp;amp;", "&"},     {"&amp;apos;", "'"},    {"&amp;amp;amp;x&amp;", "&x&"},
      {"a  =  b", "a=b"},     {" = = ", "== "},       {"a =b c= d", "a =b c= d"},
      {"l1\nl2\n", "l1 l2 "}, {"&&amp;amp", "&&amp"}, {"it's", "it's"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    std::string line = in;
    std::int32_t perc = 250;
    xmlio::normaliseLine(line, platform::kFalse, perc);
    EXPECT_EQ(line, out);
    EXPECT_EQ(perc, 100);
  }
}

TEST(LineReader, UnknownEncodingEndsTheRun) {
  TestRun run;
  std::string line;
  platform::Bool16 eofile = platform::kFalse;
  std::int32_t perc = 0;
  EXPECT_THROW(xmlio::inputXMLline(run.ctx, line, eofile, perc), platform::RunEnded);
  EXPECT_EQ(run.dialogs.shown(),
            (std::vector<testsupport::Box>{
                {"Unsupported encoding in inputXMLline", platform::kBoxStop}}));
}

}  // namespace
