#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/score_builder.h"

namespace {

using e2e::buildScore;
using e2e::Outcome;
using e2e::PartSpec;
using e2e::records;
using e2e::runProgram;
using e2e::Workspace;

const std::string kFile = "CALLEDBY=ORVANTIDE,FILE=score.xml/";

std::string withoutEmptyLines(const std::string& text) {
  std::string out;
  for (const auto& line : e2e::splitLines(text)) {
    if (!line.empty()) out += line + "\r\n";
  }
  return out;
}

bool hasWorkFiles(const Workspace& ws) {
  const auto names = ws.names();
  return std::any_of(names.begin(), names.end(),
                     [](const std::string& n) { return n.starts_with("QUILLBRAID_"); });
}

// A run that reached its end: status 0, no box, the input kept as the backup, the result both in
// the input's place and in QUILLBRAID.XML, and no work file left.
std::string expectSuccess(const Workspace& ws, const Outcome& outcome, const std::string& input) {
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.records, "");
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(ws.get("score.xmlorg"), input);
  const std::string result = ws.get("score.xml");
  EXPECT_EQ(ws.get("QUILLBRAID.XML"), result);
  EXPECT_FALSE(hasWorkFiles(ws));
  return result;
}

TEST(EndToEnd, RefusalsAreExactConsoleRecords) {
  const std::pair<std::string, std::string> cases[] = {
      {"calledby=orvantide,FILE=score.xml/", "This program can only be called by Orvantide."},
      {"", "This program can only be called by Orvantide."},
      {"CALLEDBY=ORVANTIDE,FILE=score.xml",
       "Invalid calling sequence. / missing. \r\nCALLEDBY=ORVANTIDE,FILE=score.xml"},
      {"CALLEDBY=ORVANTIDE,FILE=nothere.xml/",
       "Invalid calling sequence. Unknown file. \r\nCALLEDBY=ORVANTIDE,FILE=nothere.xml/"},
      {"CALLEDBY=ORVANTIDE,FILE=sub/",
       "Invalid calling sequence. Unknown file. \r\nCALLEDBY=ORVANTIDE,FILE=sub/"},
      {kFile + "STAVESUP=2,PART=4,INSTR=,3,4,/ ",
       "Invalid calling sequence. Detail incorrect (1). \r\n" + kFile +
           "STAVESUP=2,PART=4,INSTR=,3,4,/ "},
      {kFile + "STAVESUP=2,PART=40000,INSTR=,3,4,/", "Overflow"},
      {kFile + "STAVESUP=32768,PART=4,INSTR=,3,4,/", "Overflow"},
  };
  for (const auto& [args, text] : cases) {
    SCOPED_TRACE(args);
    Workspace ws;
    ws.put("score.xml", "<?xml?>\r\n");
    ws.put("sub/keep", "");
    const Outcome outcome = runProgram(ws, args);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.records, records({text}));
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(ws.names(), (std::vector<std::string>{"score.xml", "sub/keep"}));
  }
}

TEST(EndToEnd, WithoutGroupsEveryNonEmptyLineIsCopiedInTheInputsEncoding) {
  const std::string score = buildScore({{"1"}, {"2", 3, 2}, {"3", 2, 1, true, true}});
  for (const char* encoding : {"UTF-8", "UTF-8-BOM", "UTF-16LE", "UTF-16BE"}) {
    SCOPED_TRACE(encoding);
    Workspace ws;
    const std::string input = e2e::encode(score, encoding);
    ws.put("score.xml", input);
    const std::string result = expectSuccess(ws, runProgram(ws, kFile), input);
    const std::string expected = std::string(encoding) == "UTF-16BE"
                                     ? withoutEmptyLines(score)
                                     : e2e::encode(withoutEmptyLines(score), encoding);
    EXPECT_EQ(result, expected);
  }
}

TEST(EndToEnd, TheExampleMergesExactlyInEveryEncoding) {
  const std::string example = e2e::readFile(QB_SOURCE_DIR "/examples/sonatina.xml");
  const std::string merged = e2e::readFile(QB_SOURCE_DIR "/tests/data/sonatina-merged.xml");
  const std::string args = kFile + "STAVESUP=1,PART=3,INSTR=,2,3,/";
  for (const char* encoding : {"UTF-8", "UTF-8-BOM", "UTF-16LE", "UTF-16BE"}) {
    SCOPED_TRACE(encoding);
    Workspace ws;
    const std::string input = e2e::encode(example, encoding);
    ws.put("score.xml", input);
    const std::string result = expectSuccess(ws, runProgram(ws, args), input);
    const std::string enc = encoding;
    if (enc == "UTF-8" || enc == "UTF-8-BOM") {
      EXPECT_EQ(result, e2e::encode(merged, encoding));
    } else {
      // A UTF-16 input's reader returns an empty line after every line; the merged part keeps
      // them from its work files.
      EXPECT_EQ(result.substr(0, 2), enc == "UTF-16LE" ? "\xFF\xFE" : "<?");
      EXPECT_EQ(withoutEmptyLines(e2e::decode(result)), merged);
    }
  }
}

struct GroupCase {
  const char* name;
  std::vector<PartSpec> parts;
  std::string groups;
  std::vector<std::string> mergedAway;              // parts whose entries and parts disappear
  std::vector<std::pair<std::string, int>> merged;  // bottom part and its staff count
};

TEST(EndToEnd, GroupsBecomeMultiStaffParts) {
  const GroupCase cases[] = {
      {"a group of 2 among others",
       {{"1"}, {"2"}, {"3", 3, 2, true}, {"4", 3, 1, true, true}, {"5"}},
       "STAVESUP=1,PART=4,INSTR=,3,4,/",
       {"3"},
       {{"4", 2}}},
      {"a group of 3",
       {{"1", 2, 2}, {"2", 2}, {"3", 2, 2, false, true}},
       "STAVESUP=2,PART=3,INSTR=,1,2,3,/",
       {"1", "2"},
       {{"3", 3}}},
      {"two groups",
       {{"1"}, {"2", 2, 2}, {"3", 2, 1, false, true}, {"4"}, {"5"}, {"6", 2, 1, false, true}},
       "STAVESUP=1,PART=3,INSTR=,2,3,/STAVESUP=1,PART=6,INSTR=,5,6,/",
       {"2", "5"},
       {{"3", 2}, {"6", 2}}},
  };
  for (const GroupCase& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    const std::string input = buildScore(c.parts);
    ws.put("score.xml", input);
    const std::string result = expectSuccess(ws, runProgram(ws, kFile + c.groups), input);
    for (const auto& k : c.mergedAway) {
      EXPECT_EQ(result.find("id=\"P" + k + "\""), std::string::npos) << "P" << k;
    }
    int inputNotes = 0, resultNotes = 0, staffLines = 0;
    for (const auto& line : e2e::splitLines(input)) inputNotes += line == "\t\t\t<note>";
    for (const auto& line : e2e::splitLines(result)) {
      resultNotes += line == "\t\t\t<note>";
      staffLines += line.starts_with("\t\t\t\t<staff>");
    }
    EXPECT_EQ(resultNotes, inputNotes);
    for (const auto& [k, staves] : c.merged) {
      const auto start = result.find("\t<part id=\"P" + k + "\">");
      ASSERT_NE(start, std::string::npos);
      const std::string part = result.substr(start, result.find("\t</part>", start) - start);
      EXPECT_NE(part.find("\t\t\t\t<staves>" + std::to_string(staves) + "</staves>"),
                std::string::npos);
      for (int s = 1; s <= staves; ++s) {
        EXPECT_NE(part.find("\t\t\t\t<clef number=\"" + std::to_string(s) + "\">"),
                  std::string::npos);
        EXPECT_NE(part.find("\t\t\t\t<staff>" + std::to_string(s) + "</staff>"), std::string::npos);
      }
      EXPECT_NE(part.find("<!--=== above measure duration1 is 6 ===-->"), std::string::npos);
    }
    EXPECT_GT(staffLines, 0);
  }
}

TEST(EndToEnd, FailuresReportAndLeaveTheInputUntouched) {
  const std::string good = buildScore({{"1"}, {"2"}, {"3"}});
  // Every occurrence of `from` replaced by `to`.
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
      s.replace(at, from.size(), to);
    }
    return s;
  };
  struct Case {
    const char* name;
    std::string input;
    std::string groups;
    std::string folder;  // created under this name to make a file creation fail
    std::string records;
  };
  const Case cases[] = {
      {"part list indented with blanks", replaced("\t<part-list>", "  <part-list>"), "", "",
       records({"Reached end-of-file before <part-list>. Run aborted"})},
      {"no part-list end", good.substr(0, good.find("\t</part-list>")), "", "",
       records({"Reached end-of-file before </part-list>. Run aborted"})},
      {"no score end", good.substr(0, good.find("</score-partwise>")), "", "",
       records({"Reached end-of-file before </part>. Run aborted"})},
      {"a comment between parts",
       replaced("\t<part id=\"P2\">", "<!-- x -->\r\n\t<part id=\"P2\">"), "", "",
       records({"<!-- x -->\r\nInput sequence error. Expected <part id='Px'>. Run aborted"})},
      {"an id without P", replaced("\t<part id=\"P2\">", "\t<part id=\"Q2\">"), "", "",
       records({"\t<part id=\"Q2\">\r\nInput error. P missing in expected <part id='Px'>. Run "
                "aborted"})},
      {"an id in single quotes", replaced("\t<part id=\"P2\">", "\t<part id='P2'>"), "", "",
       records({"\t<part id='P2'>\r\nInput error. Format error in <part id='Px'>. Run aborted"})},
      {"upper work file cannot be created", good, "STAVESUP=1,PART=3,INSTR=,2,3,/",
       "QUILLBRAID_P2.TXT", records({"Failed to open workfile for output: QUILLBRAID_P2.TXT"})},
      {"bottom work file cannot be created", good, "STAVESUP=1,PART=3,INSTR=,2,3,/",
       "QUILLBRAID_NEW.TXT", records({"Failed to open workfile for output: QUILLBRAID_NEW.TXT"})},
      {"output cannot be created", good, "", "QUILLBRAID.XML", records({"Output file open error"})},
      {"a member named P04 is looked for as P4", replaced("P2", "P04"),
       "STAVESUP=1,PART=3,INSTR=,04,3,/", "", records({"Failed to open file QUILLBRAID_P4.TXT"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workspace ws;
    ws.put("score.xml", c.input);
    if (!c.folder.empty()) ws.put(c.folder + "/keep", "");
    const Outcome outcome = runProgram(ws, kFile + c.groups);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.records, c.records);
    EXPECT_EQ(ws.get("score.xml"), c.input);
    EXPECT_FALSE(ws.exists("score.xmlorg"));
  }
}

TEST(EndToEnd, QuestionsAreAnsweredOnStandardInput) {
  const std::string lfOnly = "<?xml version=\"1.0\"?>\n<score-partwise>\n</score-partwise>\n";
  const std::string question =
      "Records in this UTF-8 file are not separated by Carriage Returns.\r\nSuch files are known "
      "to come from UNIX systems.\r\nDo you want to reorganize this file with Carriage Returns "
      "inserted?";
  {
    Workspace ws;
    ws.put("score.xml", lfOnly);
    const Outcome outcome = runProgram(ws, kFile, "no\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.records, records({question}) + "[Y/n] ");
    EXPECT_FALSE(ws.exists("KESTRINBAY.WRK"));
  }
  {
    // The run goes on with the unchanged input, read as one long line: the user runs again on
    // the repaired copy.
    Workspace ws;
    ws.put("score.xml", lfOnly);
    const Outcome outcome = runProgram(ws, kFile, "\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.records,
              records({question}) + "[Y/n] " +
                  records({"Reached end-of-file before <part-list>. Run aborted"}));
    EXPECT_EQ(ws.get("KESTRINBAY.WRK"),
              "<?xml version=\"1.0\"?>\r\n<score-partwise>\r\n</score-partwise>\r\n");
    EXPECT_EQ(ws.get("score.xml"), lfOnly);
  }
  {
    Workspace ws;
    ws.put("score.xml", "\xEF\xBB\xBFnot xml\r\n");
    const Outcome outcome = runProgram(ws, kFile, "");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.records,
              records({"Invalid encoding. Autodetection could not establish UTF-8 or UTF-16LE/BE "
                       "character encoding.\r\nscore.xml\r\nAssume UTF-8?"}) +
                  "[Y/n] ")
        << "the end of input answers No";
  }
}

TEST(EndToEnd, ASecondRunKeepsTheFirstBackup) {
  Workspace ws;
  const std::string first = buildScore({{"1"}, {"2"}});
  const std::string second = buildScore({{"1", 3}, {"2", 3}});
  const std::string args = kFile + "STAVESUP=1,PART=2,INSTR=,1,2,/";
  ws.put("score.xml", first);
  expectSuccess(ws, runProgram(ws, args), first);
  ws.put("score.xml", second);
  const Outcome outcome = runProgram(ws, args);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(ws.get("score.xmlorg"), first);
  EXPECT_EQ(ws.get("score.xml"), ws.get("QUILLBRAID.XML"));
  EXPECT_NE(ws.get("score.xml").find("<measure number=\"3\">"), std::string::npos);
}

TEST(EndToEnd, PathsWithFoldersBlanksAndNonASCIINames) {
  const std::pair<std::string, std::string> cases[] = {
      {"My Scores\\song.xml", "My Scores/song.xml"},
      {"Z\xC3\xBCrich \xE2\x80\x93 na\xC3\xAFve\\\xE9\x9F\xB3 \xE2\x9C\x93.xml",
       "Z\xC3\xBCrich \xE2\x80\x93 na\xC3\xAFve/\xE9\x9F\xB3 \xE2\x9C\x93.xml"},
  };
  for (const auto& [given, stored] : cases) {
    SCOPED_TRACE(stored);
    Workspace ws;
    const std::string input = buildScore({{"1"}, {"2"}});
    ws.put(stored, input);
    const Outcome outcome =
        runProgram(ws, "CALLEDBY=ORVANTIDE,FILE=" + given + "/STAVESUP=1,PART=2,INSTR=,1,2,/");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.records, "");
    EXPECT_EQ(ws.get(stored + "org"), input);
    EXPECT_EQ(ws.get(stored), ws.get("QUILLBRAID.XML"));
  }
}

}  // namespace
