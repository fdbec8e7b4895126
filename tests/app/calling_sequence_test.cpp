#include "app/calling_sequence.h"

#include <gtest/gtest.h>

#include "tests/support/scripted_dialogs.h"

namespace {

using testsupport::Box;
using testsupport::TestRun;

constexpr std::string_view kDetail = "Invalid calling sequence. Detail incorrect (";

struct Case {
  const char* args;
  const char* refusal;  // nullptr: accepted
  bool withArguments;   // the refusal shows CR LF and the whole argument string
};

TEST(CallingSequence, RefusesEachMalformedPartWithItsOwnText) {
  const Case cases[] = {
      {"calledby=orvantide,FILE=C:\\x.xml/", "This program can only be called by Orvantide.",
       false},
      {"", "This program can only be called by Orvantide.", false},
      {"CALLEDBY=ORVANTIDE,", "Invalid calling sequence. FILE= missing. ", true},
      {"CALLEDBY=ORVANTIDE,file=C:\\x.xml/", "Invalid calling sequence. FILE= missing. ", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml", "Invalid calling sequence. / missing. ", true},
      {"CALLEDBY=ORVANTIDE,FILE=/STAVESUP=2,PART=4,INSTR=,3,4,/",
       "Invalid calling sequence. Unknown file. ", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\missing.xml/", "Invalid calling sequence. Unknown file. ",
       true},
      {"CALLEDBY=ORVANTIDE,FILE=\\\\server\\share\\x.xml/",
       "Invalid calling sequence. Unknown file. ", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/x", "1", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/ ", "1", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2,PART=4,INSTR=,3,4,/x", "1", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2", "2", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=,PART=4,INSTR=,3,4,/", "3", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=+2,PART=4,INSTR=,3,4,/", "3", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP= 2,PART=4,INSTR=,3,4,/", "3", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2.0,PART=4,INSTR=,3,4,/", "3", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2PART=4,INSTR=,3,4,/", "3", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2,INSTR=,3,4,/", "4", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2,PART=4", "5", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2,PART=,INSTR=,3,4,/", "6", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2,PART=4,,3,4,/", "7", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=2,PART=4,INSTR=,3,4,", "8", true},
      {"CALLEDBY=ORVANTIDE,FILE=C:\\x.xml/STAVESUP=1,PART=2,INSTR=,1,2,/STAVESUP=1", "2", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    TestRun run;
    run.fs.put("C:\\x.xml", "<?xml?>");
    EXPECT_THROW(app::readCallingSequence(run.ctx, c.args), platform::RunEnded);
    std::string text = c.refusal;
    if (text.size() == 1) text = std::string(kDetail) + text + "). ";
    if (c.withArguments) text += std::string("\r\n") + c.args;
    EXPECT_EQ(run.dialogs.shown(), (std::vector<Box>{{text, platform::kBoxStop}}));
    EXPECT_FALSE(run.ctx.files.isOpen(1)) << "a refusal leaves no file open";
  }
}

TEST(CallingSequence, APathMayHoldBlanksAndNeedsNoGroups) {
  TestRun run;
  run.fs.put("C:\\My Scores\\x.xml", "");
  app::readCallingSequence(run.ctx, "CALLEDBY=ORVANTIDE,FILE=C:\\My Scores\\x.xml/");
  const app::RunState& st = run.ctx.state;
  EXPECT_TRUE(run.dialogs.shown().empty());
  EXPECT_EQ(st.inputPath, "C:\\My Scores\\x.xml");
  EXPECT_EQ(st.groupCount, 0);
  EXPECT_EQ(st.quoteChar, "\"");
  EXPECT_EQ(st.tabChar, "\t");
}

TEST(CallingSequence, GroupTablesKeepEveryGroupInOrder) {
  TestRun run;
  run.fs.put("x.xml", "");
  app::readCallingSequence(run.ctx,
                           "CALLEDBY=ORVANTIDE,FILE=x.xml/STAVESUP=2,PART=04,INSTR=,3,4,/"
                           "STAVESUP=0032767,PART=9,INSTR=/STAVESUP=1,PART=7,INSTR=a=b,c/");
  const app::RunState& st = run.ctx.state;
  ASSERT_EQ(st.groupCount, 3);
  EXPECT_EQ(st.groupStavesUp, (std::vector<std::int16_t>{2, 32767, 1}));
  EXPECT_EQ(st.groupPart, (std::vector<std::int16_t>{4, 9, 7}));
  EXPECT_EQ(st.groupInstr, (std::vector<std::string>{",3,4,", "", "a=b,c"}));
}

TEST(CallingSequence, ValuesAbove32767Overflow) {
  for (const char* args : {"CALLEDBY=ORVANTIDE,FILE=x.xml/STAVESUP=32768,PART=4,INSTR=,3,4,/",
                           "CALLEDBY=ORVANTIDE,FILE=x.xml/STAVESUP=2,PART=40000,INSTR=,3,4,/",
                           "CALLEDBY=ORVANTIDE,FILE=x.xml/STAVESUP=2,PART=99999999999,INSTR=/"}) {
    SCOPED_TRACE(args);
    TestRun run;
    run.fs.put("x.xml", "");
    EXPECT_THROW(app::readCallingSequence(run.ctx, args), platform::ArithmeticOverflow);
    EXPECT_TRUE(run.dialogs.shown().empty());
  }
}

TEST(CallingSequence, IsAllDigits) {
  const std::pair<const char*, bool> cases[] = {
      {"0", true},    {"0123456789", true}, {"", false},   {" 1", false},
      {"1.0", false}, {"+1", false},        {"1/", false}, {"١", false},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(app::isAllDigits(text), expected);
  }
}

TEST(CallingSequence, FileExistsNeverTouchesADoubleBackslashPath) {
  TestRun run;
  run.fs.put("a\\\\b.xml", "");
  run.fs.put("a\\b.xml", "");
  EXPECT_FALSE(app::fileExists(run.ctx, "a\\\\b.xml"));
  EXPECT_EQ(run.fs.operations(), 0);
  EXPECT_TRUE(app::fileExists(run.ctx, "a\\b.xml"));
  EXPECT_FALSE(run.ctx.files.isOpen(1));
  run.fs.failOn(testsupport::MemoryFileSystem::Op::Open, "a\\b.xml", 13);
  EXPECT_FALSE(app::fileExists(run.ctx, "a\\b.xml"));
}

}  // namespace
