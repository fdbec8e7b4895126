#include "xmlio/encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scripted_dialogs.h"

namespace {

using namespace std::string_literals;
using platform::kAnswerNo;
using platform::kAnswerYes;
using testsupport::Box;
using testsupport::TestRun;

const std::string kEncodingQuestion =
    "Invalid encoding. Autodetection could not establish UTF-8 or UTF-16LE/BE character "
    "encoding.\r\nin.xml\r\nAssume UTF-8?";
const std::string kLineEndQuestion =
    "Records in this UTF-8 file are not separated by Carriage Returns.\r\nSuch files are known to "
    "come from UNIX systems.\r\nDo you want to reorganize this file with Carriage Returns "
    "inserted?";

struct Case {
  const char* name;
  std::string bytes;
  std::deque<int> answers;
  const char* encoding;  // nullptr: the run ends
  bool apostropheQuoted;
  std::vector<std::string> questions;
};

TEST(Encoding, RulesQuestionsAndAnswers) {
  const std::string crlf = "\r\n";
  const std::string longFirstRecord = "<?xml" + std::string(1000, ' ') + crlf;
  const Case cases[] = {
      {"UTF-16LE", "\xFF\xFE<\0?\0x\0m\0l\0 \0\r\0"s, {}, "UTF-16LE", false, {}},
      {"UTF-16LE with apostrophes",
       "\xFF\xFE<\0?\0x\0m\0l\0 \0v\0e\0r\0s\0i\0o\0n\0=\0'\0"s,
       {},
       "UTF-16LE",
       false,
       {}},
      {"UTF-8 without mark, fifth byte not examined", "<?xmX\r\n", {}, "UTF-8", false, {}},
      {"UTF-16BE",
       "\xFE\xFF\0<\0?\0x\0m\0l\0 \0v\0e\0r\0s\0i\0o\0n\0=\0\"\0001"s,
       {},
       "UTF-16BE",
       false,
       {}},
      {"UTF-16BE with apostrophes",
       "\xFE\xFF\0<\0?\0x\0m\0l\0 \0v\0e\0r\0s\0i\0o\0n\0=\0'\0001"s,
       {},
       "UTF-16BE",
       true,
       {}},
      {"UTF-16BE blank before =",
       "\xFE\xFF\0<\0?\0x\0m\0l\0 \0v\0e\0r\0s\0i\0o\0n\0 \0=\0'"s,
       {},
       "UTF-16BE",
       false,
       {}},
      {"UTF-8 with mark", "\xEF\xBB\xBF<?xml\r", {}, "UTF-8", false, {}},
      {"mark then not <?xml, Yes",
       "\xEF\xBB\xBF<a>\r",
       {kAnswerYes},
       "UTF-8",
       false,
       {kEncodingQuestion}},
      {"UTF-16LE with a blank before <?xml, No",
       "\xFF\xFE \0<\0?\0x\0m\0l\0"s,
       {kAnswerNo},
       nullptr,
       false,
       {kEncodingQuestion}},
      {"no CR in the first 1000 bytes, No",
       longFirstRecord,
       {kAnswerNo},
       nullptr,
       false,
       {kLineEndQuestion}},
      {"a CR in the first 1000 bytes only",
       "<?xml\r\n" + std::string(2000, '\n'),
       {},
       "UTF-8",
       false,
       {}},
      {"UTF-16 is never asked about line ends",
       "\xFF\xFE<\0?\0x\0m\0l\0"s,
       {},
       "UTF-16LE",
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRun run;
    for (int a : c.answers) run.dialogs.answer(a);
    run.fs.put("in.xml", c.bytes);
    run.ctx.state.inputPath = "in.xml";
    if (c.encoding == nullptr) {
      EXPECT_THROW(xmlio::establishEncoding(run.ctx), platform::RunEnded);
    } else {
      xmlio::establishEncoding(run.ctx);
      EXPECT_EQ(run.ctx.state.encodingName, c.encoding);
      EXPECT_EQ(run.ctx.state.apostropheQuoted,
                c.apostropheQuoted ? platform::kTrue : platform::kFalse);
    }
    std::vector<Box> expected;
    for (const auto& q : c.questions) expected.push_back({q, platform::kBoxQuestion});
    EXPECT_EQ(run.dialogs.shown(), expected);
    EXPECT_FALSE(run.ctx.files.isOpen(1));
    EXPECT_FALSE(run.fs.exists("KESTRINBAY.WRK"));
  }
}

TEST(Encoding, RepairCopyTurnsEveryLFIntoCRLF) {
  const std::pair<std::string, std::string> cases[] = {
      {"<?xml?>\n<a>\n</a>\n", "<?xml?>\r\n<a>\r\n</a>\r\n"},
      {"<?xml?>\n\ntail", "<?xml?>\r\n\r\ntail\r\n"},
      {"", ""},
  };
  for (const auto& [input, copy] : cases) {
    for (std::size_t block : {1, 4, 64}) {
      SCOPED_TRACE(testing::PrintToString(input) + " block " + std::to_string(block));
      TestRun run(block);
      run.dialogs.answer(kAnswerYes);
      if (input.empty()) run.dialogs.answer(kAnswerYes);
      run.fs.put("scores\\in.xml", input);
      run.ctx.state.inputPath = "scores\\in.xml";
      xmlio::establishEncoding(run.ctx);
      EXPECT_EQ(run.fs.get("scores\\KESTRINBAY.WRK"), copy);
      EXPECT_EQ(run.fs.get("scores\\in.xml"), input) << "the input itself stays as it was";
      EXPECT_EQ(run.ctx.state.inputLength, static_cast<std::int32_t>(input.size()));
      EXPECT_FALSE(run.ctx.files.isOpen(1));
      EXPECT_FALSE(run.ctx.files.isOpen(2));
    }
  }
}

TEST(Encoding, ACRLFFileWithoutCRInItsProbeGetsCRCRLF) {
  TestRun run;
  run.dialogs.answer(kAnswerYes);
  run.fs.put("in.xml", "<?xml" + std::string(1000, 'x') + "\r\n<a/>\r\n");
  run.ctx.state.inputPath = "in.xml";
  xmlio::establishEncoding(run.ctx);
  EXPECT_EQ(run.fs.get("KESTRINBAY.WRK"), "<?xml" + std::string(1000, 'x') + "\r\r\n<a/>\r\r\n")
      << "a path without a backslash puts the copy in the current folder";
}

TEST(Encoding, TheRepairCopyNeverReplacesItsOwnInput) {
  TestRun run;
  run.dialogs.answer(kAnswerYes);
  const std::string input = "<?xml?>\n<a/>\n";
  run.fs.put("scores\\kestrinbay.wrk", input);
  run.ctx.state.inputPath = "scores\\kestrinbay.wrk";
  EXPECT_THROW(xmlio::establishEncoding(run.ctx), platform::RunEnded);
  EXPECT_EQ(run.dialogs.shown().back(),
            (Box{"Failed to create workfile\r\nIt would replace the input file "
                 "scores\\kestrinbay.wrk",
                 platform::kBoxStop}));
  EXPECT_EQ(run.fs.get("scores\\kestrinbay.wrk"), input);
}

TEST(Encoding, OpenFailuresAreReported) {
  struct OpenCase {
    std::string failPath;
    int failAtOpen;  // which open of that path fails
    std::string message;
  };
  const OpenCase cases[] = {
      {"in.xml", 1, "Open error 1 on in.xml"},
      {"in.xml", 2, "Open error 2 on in.xml"},
      {"KESTRINBAY.WRK", 1, "Failed to create workfile"},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.message);
    TestRun run;
    run.dialogs.answer(kAnswerYes);
    run.fs.put("in.xml", "<?xml?>\n");
    run.ctx.state.inputPath = "in.xml";
    if (c.failAtOpen == 1) {
      run.fs.failOn(testsupport::MemoryFileSystem::Op::Open, c.failPath);
    } else {
      // The probe is one open, one block read and one close; the next operation is the length
      // query, then the second open.
      run.fs.failOperation(5);
    }
    EXPECT_THROW(xmlio::establishEncoding(run.ctx), platform::RunEnded);
    ASSERT_FALSE(run.dialogs.shown().empty());
    EXPECT_EQ(run.dialogs.shown().back(), (Box{c.message, platform::kBoxStop}));
  }
}

}  // namespace
