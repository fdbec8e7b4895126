#include "merge/merge_attributes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/merge/work_files.h"

namespace {

using mergetest::MergeRun;
using mergetest::tabbed;
using mergetest::workFile;
using testsupport::Box;

constexpr const char* kBottom = R"(
  <part id="P4">
    <measure number="1" width="310">
      <print new-system="yes"/>
      <attributes>
        <divisions>2</divisions>
        <key>
          <fifths>-1</fifths>
        </key>
        <time>
          <beats>4</beats>
          <beat-type>4</beat-type>
        </time>
        <clef>
          <sign>F</sign>
          <line>4</line>
        </clef>
        <transpose>
          <chromatic>0</chromatic>
        </transpose>
      </attributes>
      note C3 8 v1 whole
    </measure>
  </part>
)";

// An upper part: its own divisions, key and time, a line before its clef, a second clef.
constexpr const char* kUpper3 = R"(
  <part id="P3">
    <measure number="1" width="310">
      <attributes>
        <divisions>4</divisions>
        <key>
          <fifths>0</fifths>
        </key>
        <time>
          <beats>4</beats>
          <beat-type>4</beat-type>
        </time>
        <instruments>2</instruments>
        <clef>
          <sign>G</sign>
          <line>2</line>
        </clef>
        <clef>
          <sign>C</sign>
        </clef>
      </attributes>
      note C5 16 v1 whole
    </measure>
  </part>
)";

// By default a clef line at the wrong depth, which the merge rebuilds at attribute depth.
std::string upper(std::string_view id, std::string_view sign,
                  std::string_view clef = "      <clef>") {
  return "  <part id=\"" + std::string(id) +
         "\">\n    <measure number=\"1\">\n      <attributes>\n" +
         "        <time>\n        </time>\n" + std::string(clef) + "\n          <sign>" +
         std::string(sign) + "</sign>\n        </clef>\n      </attributes>\n";
}

// kBottom through </attributes>, with `middle` after its </time> and its clef numbered `clef`.
std::vector<std::string> expected(std::string_view middle, int clef) {
  std::vector<std::string> lines = tabbed(kBottom);
  const std::vector<std::string> inner = tabbed(middle);
  lines[12] = "\t\t\t\t<clef number=\"" + std::to_string(clef) + "\">";
  lines.insert(lines.begin() + 12, inner.begin(), inner.end());
  lines.erase(std::find(lines.begin(), lines.end(), "\t\t\t</attributes>") + 1, lines.end());
  return lines;
}

TEST(MergeAttributes, StavesAndNumberedClefsForEachGroupSize) {
  const struct {
    std::string list;
    std::string middle;  // between the bottom's </time> and its clef
    std::int16_t staves;
    int bottomClef;
  } cases[] = {
      {"", "        <staves>1</staves>\n", 1, 1},
      {"12,", R"(
        <staves>2</staves>
        <instruments>2</instruments>
        <clef number="1">
          <sign>G</sign>
          <line>2</line>
        </clef>
)",
       2, 2},
      {"5,12,6,", R"(
        <staves>4</staves>
        <clef number="1">
          <sign>G</sign>
        </clef>
        <instruments>2</instruments>
        <clef number="2">
          <sign>G</sign>
          <line>2</line>
        </clef>
        <clef print-object="no">
          <sign>C</sign>
        </clef>
)",
       4, 3},
  };
  for (const bool gaps : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.list + (gaps ? " with empty lines" : ""));
      MergeRun m;
      m.run.fs.put("QUILLBRAID_NEW.TXT", workFile(kBottom, gaps));
      m.run.fs.put("QUILLBRAID_P12.TXT", workFile(kUpper3, gaps));
      m.run.fs.put("QUILLBRAID_P5.TXT", workFile(upper("P5", "G"), gaps));
      m.run.fs.put("QUILLBRAID_P6.TXT",
                   workFile(upper("P6", "C", "        <clef print-object=\"no\">"), gaps));
      merge::mergeAttributes(m.run.ctx, c.list);
      std::vector<std::string> out = m.output();
      if (gaps) {
        // Empty lines are copied where they are read, so the one behind the bottom part's </time>
        // waits for its clef, and the next file's first one follows <staves>.
        ASSERT_GT(out.size(), 25u);
        EXPECT_EQ(out[22], "\t\t\t\t</time>");
        EXPECT_EQ(out[24], "");
        std::erase(out, "");
      }
      mergetest::expectLines(out, expected(c.middle, c.bottomClef));
      EXPECT_EQ(m.run.ctx.state.staffCount, c.staves);
      EXPECT_EQ(m.run.ctx.state.xmlLine, "\t\t\t</attributes>");
      EXPECT_TRUE(m.run.dialogs.shown().empty());
      EXPECT_TRUE(m.run.fs.exists("QUILLBRAID_NEW.TXT") && m.run.fs.exists("QUILLBRAID_P12.TXT"));
      EXPECT_FALSE(m.anyOpen()) << "every work file is closed again";
    }
  }
}

std::string cut(std::string_view text, std::string_view before) {
  return std::string(text.substr(0, text.find(before)));
}

TEST(MergeAttributes, ReportsEachMissingOrShortWorkFile) {
  const std::string bottom = workFile(kBottom), upper3 = workFile(kUpper3);
  const struct {
    const char* list;
    std::vector<std::pair<std::string, std::string>> files;
    std::string report;  // "file/marker" stands for the report that the file ended before marker
  } cases[] = {
      {"3,", {{"QUILLBRAID_P3.TXT", upper3}}, "Failed to open NEW file for input."},
      {"3,", {{"QUILLBRAID_NEW.TXT", bottom}}, "Failed to open file QUILLBRAID_P3.TXT"},
      {"04,",
       {{"QUILLBRAID_NEW.TXT", bottom}, {"QUILLBRAID_P04.TXT", upper3}},
       "Failed to open file QUILLBRAID_P4.TXT"},
      {"", {{"QUILLBRAID_NEW.TXT", cut(bottom, "</time>")}}, "QUILLBRAID_NEW.TXT/</time>"},
      {"",
       {{"QUILLBRAID_NEW.TXT", cut(bottom, "</attributes>")}},
       "QUILLBRAID_NEW.TXT/</attributes>"},
      {"3,",
       {{"QUILLBRAID_NEW.TXT", bottom}, {"QUILLBRAID_P3.TXT", cut(upper3, "</time>")}},
       "QUILLBRAID_P3.TXT/</time>"},
      {"3,",
       {{"QUILLBRAID_NEW.TXT", bottom}, {"QUILLBRAID_P3.TXT", cut(upper3, "</clef>")}},
       "QUILLBRAID_P3.TXT/</clef>"},
      {"3,",
       {{"QUILLBRAID_NEW.TXT", bottom}, {"QUILLBRAID_P3.TXT", "unreadable"}},
       "Failed to read QUILLBRAID_P3.TXT\r\nSimulated failure 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    MergeRun m;
    for (const auto& [name, bytes] : c.files) m.run.fs.put(name, bytes);
    if (c.files.back().second == "unreadable") {
      m.run.fs.failOn(testsupport::MemoryFileSystem::Op::Read, "QUILLBRAID_P3.TXT");
    }
    EXPECT_THROW(merge::mergeAttributes(m.run.ctx, c.list), platform::RunEnded);
    std::string report = c.report;
    const std::size_t slash = report.find(".TXT/");
    if (slash != std::string::npos) {
      report = "Work file " + report.substr(0, slash + 4) + " ended before " +
               report.substr(slash + 5) + ". Run aborted";
    }
    EXPECT_EQ(m.run.dialogs.shown(), (std::vector<Box>{{report, platform::kBoxStop}}));
    for (const auto& file : c.files) EXPECT_TRUE(m.run.fs.exists(file.first));
  }
  MergeRun m;
  m.run.fs.put("QUILLBRAID_NEW.TXT", bottom);
  EXPECT_THROW(merge::mergeAttributes(m.run.ctx, "40000,"), platform::ArithmeticOverflow);
}

}  // namespace
