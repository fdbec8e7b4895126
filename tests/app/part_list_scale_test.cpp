// A part list far beyond what a 16-bit count could hold, rewritten in one run.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/start_up.h"
#include "tests/app/score_text.h"
#include "tests/support/scripted_dialogs.h"

namespace {

using apptest::addLine;
using apptest::addPart;
using apptest::addScorePart;

TEST(PartListAtScale, AMillionEntriesAreRewrittenExactly) {
  constexpr int kScoreParts = 250000;  // four part-list entries each, with the part groups
  // Three groups; the upper members' score-parts go, wherever they stand in the list.
  const std::set<std::string> mergedAway = {"1", "32000", "30000"};
  const std::string groups =
      "STAVESUP=1,PART=2,INSTR=,1,2,/STAVESUP=1,PART=3,INSTR=,30000,3,/"
      "STAVESUP=1,PART=32001,INSTR=,32000,32001,/";

  std::string input = apptest::kScoreStart;
  std::string expectedList;
  addLine(input, 1, "<part-list>");
  addLine(expectedList, 1, "<part-list>");
  int entries = 0;
  for (int id = 1; id <= kScoreParts; ++id) {
    const std::string k = std::to_string(id);
    std::string entry;
    addLine(entry, 2, "<part-group type=\"start\" number=\"" + k + "\"/>");
    addScorePart(entry, k);
    input += entry;
    entries += 4;
    if (mergedAway.count(k) != 0) {
      addLine(expectedList, 2, "<part-group type=\"start\" number=\"" + k + "\"/>");
    } else {
      expectedList += entry;
    }
  }
  ASSERT_GE(entries, 1000000);
  addLine(input, 1, "</part-list>");
  addLine(expectedList, 1, "</part-list>");
  for (const char* id : {"1", "2", "30000", "3", "32000", "32001", "4"}) {
    addPart(input, id, "G");
  }
  input += "</score-partwise>\r\n";

  testsupport::TestRun run;
  run.fs.put("score.xml", input);
  const int status = app::runProgram(run.ctx, "CALLEDBY=ORVANTIDE,FILE=score.xml/" + groups);
  ASSERT_EQ(status, 0) << testing::PrintToString(run.dialogs.shown());
  EXPECT_TRUE(run.dialogs.shown().empty());
  const std::string result = run.fs.get("score.xml");
  const std::size_t listStart = result.find("\t<part-list>\r\n");
  const std::size_t listEnd = result.find("\t</part-list>\r\n");
  ASSERT_NE(listStart, std::string::npos);
  ASSERT_NE(listEnd, std::string::npos);
  const std::string list = result.substr(listStart, listEnd + 15 - listStart);
  EXPECT_EQ(list.size(), expectedList.size());
  EXPECT_TRUE(list == expectedList) << "the rewritten part list differs";
  for (const char* bottom : {"2", "3", "32001"}) {
    EXPECT_NE(result.find("\t<part id=\"P" + std::string(bottom) + "\">\r\n\t\t<measure"),
              std::string::npos)
        << "merged part P" << bottom;
  }
  for (const auto& k : mergedAway) {
    EXPECT_EQ(result.find("<part id=\"P" + k + "\">"), std::string::npos) << "P" << k;
  }
}

}  // namespace
