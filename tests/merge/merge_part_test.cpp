#include "merge/merge_part.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/merge/work_files.h"

namespace {

using mergetest::MergeRun;
using mergetest::partBlock;
using mergetest::tabbed;
using mergetest::workFile;
using testsupport::Box;
using Files = std::vector<std::pair<std::string, std::string>>;  // name, block

// A piano's two staves (chords, a direction, two voices behind a backup, clef changes, a forward
// after a note and after a backup, comments) and an inner staff for larger groups.
const std::string kTreble = partBlock("P2", "G",
                                      {R"(
      <direction placement="above">
        <direction-type>
          <words>dolce</words>
        </direction-type>
      </direction>
      note E5 4 v1 half
      note C5 4 v1 half chord
      note D5 4 v1 half
      <backup>
        <duration>8</duration>
      </backup>
      note G4 8 v2 whole
)",
                                       R"(
      note C5 2 v1 quarter
      <attributes>
        <clef>
          <sign>G</sign>
          <clef-octave-change>-1</clef-octave-change>
        </clef>
      </attributes>
      note C4 2 v1 quarter
      <!-- held over the bar -->
      note rest 4 v1 half
)"});
const std::string kBass = partBlock("P4", "F",
                                    {R"(
      note C3 8 v1 whole
      <backup>
        <duration>8</duration>
      </backup>
      note rest 4 v2 half
      note G2 4 v2 half
)",
                                     R"(
      <!-- left hand -->
      note C3 4 v1 half
      <forward>
        <duration>4</duration>
      </forward>
      <backup>
        <duration>4</duration>
      </backup>
      <forward>
        <duration>2</duration>
      </forward>
      <attributes>
        <clef>
          <sign>G</sign>
        </clef>
      </attributes>
      note E3 2 v2 quarter
)"});
std::string inner(std::string_view id) {
  return partBlock(id, "C",
                   {"      note E4 8 v1 whole\n",
                    "      <attributes>\n        <clef>\n          <sign>F</sign>\n"
                    "        </clef>\n      </attributes>\n      note F4 8 v2 whole\n"});
}

// The merged treble staff, the same in every group.
constexpr const char* kTrebleMerged1 = R"(
      <direction placement="above">
        <direction-type>
          <words>dolce</words>
        </direction-type>
        <staff>1</staff>
      </direction>
      note E5 4 v1 half s1
      note C5 4 v1 half chord s1
      note D5 4 v1 half s1
      <backup>
        <duration>8</duration>
      </backup>
      note G4 8 v2 whole s1
      <backup>
        <duration>8</duration>
      </backup>
<!--=== above measure duration1 is 8 ===-->
)";
constexpr const char* kTrebleMerged2 = R"(
<!--=== next copied upper staff 1: ===-->
    <measure number="2">
      note C5 2 v1 quarter s1
      <attributes>
        <clef number="1">
          <sign>G</sign>
          <clef-octave-change>-1</clef-octave-change>
        </clef>
      </attributes>
      note C4 2 v1 quarter s1
      <!-- held over the bar -->
      note rest 4 v1 half s1
      <backup>
        <duration>8</duration>
      </backup>
<!--=== above measure duration1 is 8 ===-->
)";
// Holes: {0} staff, {1} voice; {2} the staff's first lines in measure 2.
constexpr const char* kInnerMerged1 = R"(
      note E4 8 v{1} whole s{0}
      <backup>
        <duration>8</duration>
      </backup>
<!--=== above measure duration{0} is 8 ===-->
)";
constexpr const char* kInnerMerged2 = R"(
<!--=== next copied upper staff {0}: ===-->
      <attributes>
        <clef number="{0}">
          <sign>F</sign>
        </clef>
      </attributes>
      note F4 8 v{1} whole s{0}
      <backup>
        <duration>8</duration>
      </backup>
<!--=== above measure duration{0} is 8 ===-->
)";
constexpr const char* kBassMerged1 = R"(
      note C3 8 v{1} whole s{0}
      <backup>
        <duration>8</duration>
      </backup>
      note rest 4 v{2} half s{0}
      note G2 4 v{2} half s{0}
    </measure>
<!--=== above measure duration bottom staff is 8 ===-->
)";
constexpr const char* kBassMerged2 = R"(
{3}      note C3 4 v{1} half s{0}
      <forward>
        <duration>4</duration>
      </forward>
      <backup>
        <duration>4</duration>
      </backup>
      <forward>
        <duration>2</duration>
      </forward>
      <attributes>
        <clef number="{0}">
          <sign>G</sign>
        </clef>
      </attributes>
      note E3 2 v{2} quarter s{0}
    </measure>
<!--=== above measure duration bottom staff is 4 ===-->
  </part>
)";
constexpr const char* kNextBottom = "<!--=== next copied bottom staff measure ===-->\n";

// `text` with each hole {i} replaced by values[i].
std::string fill(std::string text, const std::vector<std::string>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string hole = "{" + std::to_string(i) + "}";
    for (std::size_t at; (at = text.find(hole)) != std::string::npos;) {
      text.replace(at, hole.size(), values[i]);
    }
  }
  return text;
}

TEST(MergePart, MergesEachGroupSizeMeasureByMeasure) {
  const std::string t1 = kTrebleMerged1, t2 = kTrebleMerged2;
  const struct {
    const char* list;
    Files files;
    std::string merged;
  } cases[] = {
      {"4,",
       {{"QUILLBRAID_NEW.TXT", kBass}},
       fill(kBassMerged1, {"1", "1", "2"}) +
           fill(kBassMerged2,
                {"1", "1", "2", kNextBottom + std::string("    <measure number=\"2\">\n")})},
      {"2,4,",
       {{"QUILLBRAID_P2.TXT", kTreble}, {"QUILLBRAID_NEW.TXT", kBass}},
       t1 + fill(kBassMerged1, {"2", "3", "4"}) + t2 +
           fill(kBassMerged2, {"2", "2", "3", kNextBottom})},
      {"2,3,4,",
       {{"QUILLBRAID_P2.TXT", kTreble},
        {"QUILLBRAID_P3.TXT", inner("P3")},
        {"QUILLBRAID_NEW.TXT", kBass}},
       t1 + fill(kInnerMerged1, {"2", "3"}) + fill(kBassMerged1, {"3", "4", "5"}) + t2 +
           fill(kInnerMerged2, {"2", "3"}) + fill(kBassMerged2, {"3", "4", "5", kNextBottom})},
      {"2,3,5,4,",
       {{"QUILLBRAID_P2.TXT", kTreble},
        {"QUILLBRAID_P3.TXT", inner("P3")},
        {"QUILLBRAID_P5.TXT", inner("P5")},
        {"QUILLBRAID_NEW.TXT", kBass}},
       t1 + fill(kInnerMerged1, {"2", "3"}) + fill(kInnerMerged1, {"3", "4"}) +
           fill(kBassMerged1, {"4", "5", "6"}) + t2 + fill(kInnerMerged2, {"2", "3"}) +
           fill(kInnerMerged2, {"3", "5"}) + fill(kBassMerged2, {"4", "6", "7", kNextBottom})},
  };
  for (const bool gaps : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.list) + (gaps ? " with empty lines" : ""));
      MergeRun m;
      std::size_t bodyLines = 0;  // lines behind each file's first </attributes>
      for (const auto& [name, block] : c.files) {
        m.run.fs.put(name, workFile(block, gaps));
        const std::vector<std::string> lines = tabbed(block);
        bodyLines += static_cast<std::size_t>(
            lines.end() - std::find(lines.begin(), lines.end(), "\t\t\t</attributes>") - 1);
      }
      merge::mergePart(m.run.ctx, c.list);
      std::vector<std::string> out = m.output();
      if (gaps) {
        // Every line read has its empty line behind it, and each one read is copied.
        EXPECT_EQ(static_cast<std::size_t>(std::count(out.begin(), out.end(), "")), bodyLines);
        std::erase(out, "");
      }
      mergetest::expectLines(out, tabbed(c.merged));
      EXPECT_TRUE(m.run.dialogs.shown().empty());
      EXPECT_EQ(m.run.process.eventsProcessed, 1) << "once for the second measure";
      for (const auto& file : c.files) EXPECT_FALSE(m.run.fs.exists(file.first)) << file.first;
      EXPECT_FALSE(m.anyOpen());
    }
  }
}

TEST(MergePart, TotalsRoundHalfToEvenAndExceedSixteenBits) {
  MergeRun m;
  m.run.fs.put("QUILLBRAID_NEW.TXT", workFile(partBlock("P4", "F", {R"(
      note C3 40000.5 v2.5 whole
      note D3 1.5 v1 whole
)"})));
  merge::mergePart(m.run.ctx, "4,");
  const std::vector<std::string> out = m.output();
  EXPECT_EQ(out[6], "\t\t\t\t<voice>2</voice>");
  EXPECT_EQ(out.at(out.size() - 2), "<!--=== above measure duration bottom staff is 40002 ===-->");
}

TEST(MergePart, ReportsFailuresAndStavesThatDoNotMatch) {
  const std::string overdrawn = partBlock("P2", "G", {R"(
      note C5 4 v1 half
      <backup>
        <duration>6</duration>
      </backup>
)"});
  const auto longer = [](std::string block) {
    return block.insert(block.rfind("  </part>"),
                        "    <measure number=\"9\">\n      note C5 8 v1 whole\n    </measure>\n");
  };
  const auto truncated = [](const std::string& block) {
    return block.substr(0, block.rfind("  </part>"));
  };
  const std::string p3 = inner("P3");
  const std::string mismatch =
      "The parts 3,4, of one group do not have the same measures. Run aborted";
  const struct {
    const char* list;
    Files files;
    std::string report;  // empty: an overflow
  } cases[] = {
      {"3,4,", {{"QUILLBRAID_NEW.TXT", kBass}}, "Failed to open file QUILLBRAID_P3.TXT"},
      {"3,4,",
       {{"QUILLBRAID_P3.TXT", p3}},
       "Failed to open NEW workfile for input.\r\nNo such file or directory"},
      {"3,4,",
       {{"QUILLBRAID_P3.TXT", "  <part id=\"P3\">\n      </attributes> \n"},
        {"QUILLBRAID_NEW.TXT", kBass}},
       "Work file QUILLBRAID_P3.TXT ended before </attributes>. Run aborted"},
      {"3,4,", {{"QUILLBRAID_P3.TXT", longer(p3)}, {"QUILLBRAID_NEW.TXT", kBass}}, mismatch},
      {"3,4,", {{"QUILLBRAID_P3.TXT", p3}, {"QUILLBRAID_NEW.TXT", longer(kBass)}}, mismatch},
      {"3,4,",
       {{"QUILLBRAID_P3.TXT", p3}, {"QUILLBRAID_NEW.TXT", truncated(kBass)}},
       "Work file QUILLBRAID_NEW.TXT of the parts 3,4, ended before </part>. Run aborted"},
      {"2,4,",
       {{"QUILLBRAID_P2.TXT", overdrawn}, {"QUILLBRAID_NEW.TXT", kBass}},
       "Programming error, dur1 = -2"},
      {"3,2,4,",
       {{"QUILLBRAID_P3.TXT", p3}, {"QUILLBRAID_P2.TXT", overdrawn}, {"QUILLBRAID_NEW.TXT", kBass}},
       "Programming error, dur(2) = -2"},
      {"3,4,",
       {{"QUILLBRAID_P3.TXT", p3}, {"QUILLBRAID_NEW.TXT", overdrawn}},
       "Programming error, dur = -2"},
      {"4,",
       {{"QUILLBRAID_NEW.TXT",
         partBlock("P4", "F", {"      note C3 2147483647 v1 whole\n      note D3 1 v1 whole\n"})}},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    MergeRun m;
    for (const auto& [name, block] : c.files) m.run.fs.put(name, workFile(block));
    if (c.report.empty()) {
      EXPECT_THROW(merge::mergePart(m.run.ctx, c.list), platform::ArithmeticOverflow);
    } else {
      EXPECT_THROW(merge::mergePart(m.run.ctx, c.list), platform::RunEnded);
      EXPECT_EQ(m.run.dialogs.shown(), (std::vector<Box>{{c.report, platform::kBoxStop}}));
    }
    for (const auto& file : c.files) EXPECT_TRUE(m.run.fs.exists(file.first)) << file.first;
  }
}

}  // namespace
