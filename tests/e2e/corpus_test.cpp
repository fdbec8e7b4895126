#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/support/score_tools.h"

namespace {

using testsupport::NoteInfo;
using testsupport::StaffNotes;

// Real scores, split into the converter's single-staff parts, merged back by the program.
// Two of them begin a staff with silence, which the split writes as a forward: before any note
// the merge counts a forward like a backup, so their first measure's total falls below zero
// and the run ends with its report, leaving the input untouched.
struct CorpusCase {
  const char* file;
  const char* failure;  // nullptr: the merge succeeds
};

const CorpusCase kCases[] = {
    {"w3c-musicxml/tutorial-chopin-prelude.musicxml", nullptr},
    {"w3c-musicxml/tutorial-apres-un-reve.musicxml", nullptr},
    {"w3c-musicxml/tutorial-hello-world.musicxml", nullptr},
    {"w3c-musicxml/tutorial-percussion.musicxml", nullptr},
    {"opensheetmusicdisplay/CharlesGounod_Meditation.xml", "Programming error, dur1 = "},
    {"opensheetmusicdisplay/Gretchaninov_A_Boring_Story.musicxml", nullptr},
    {"opensheetmusicdisplay/JohannSebastianBach_PraeludiumInCDur_BWV846_1.xml", nullptr},
    {"opensheetmusicdisplay/Land_der_Berge.musicxml", nullptr},
    {"opensheetmusicdisplay/MuzioClementi_SonatinaOpus36No1_Part1.xml", nullptr},
    {"opensheetmusicdisplay/OSMD_Function_Test_Drums_one_line_snare_plus_piano.musicxml", nullptr},
    {"opensheetmusicdisplay/OSMD_function_test_in-measure-clefs.xml", nullptr},
    {"opensheetmusicdisplay/Schumann_The_Wild_Horseman_Op._68_No._8.xml", nullptr},
    {"opensheetmusicdisplay/ScottJoplin_EliteSyncopations.xml", nullptr},
    {"opensheetmusicdisplay/Test_Auto_Multirest_2.musicxml", nullptr},
    {"opensheetmusicdisplay/test_clef_change_on_invisible_note_norma_fantasy_1605.musicxml",
     nullptr},
    {"opensheetmusicdisplay/test_clef_measure_end_backup_nodes_Sibelius.musicxml", nullptr},
    {"opensheetmusicdisplay/test_cross_stave_16ths_ghost_notes_simple.musicxml",
     "Programming error, dur1 = "},
};

TEST(Corpus, SplitScoresMergeBackWithEveryStaffsNotes) {
  if (!std::filesystem::exists(QB_CORPUS_DIR)) GTEST_SKIP() << "no corpus at " << QB_CORPUS_DIR;
  for (const CorpusCase& c : kCases) {
    SCOPED_TRACE(c.file);
    const std::string source = e2e::readFile(std::string(QB_CORPUS_DIR) + "/" + c.file);
    const testsupport::SplitResult split = testsupport::splitScore(source);
    ASSERT_TRUE(split.ok()) << split.error;
    e2e::Workspace ws;
    ws.put("score.xml", split.text);
    const e2e::Outcome outcome =
        e2e::runProgram(ws, "CALLEDBY=ORVANTIDE,FILE=score.xml/" + split.groups);
    if (c.failure != nullptr) {
      EXPECT_EQ(outcome.status, 1);
      EXPECT_TRUE(outcome.records.starts_with(std::string("Quillbraid: ") + c.failure))
          << outcome.records;
      EXPECT_EQ(ws.get("score.xml"), split.text);
      EXPECT_FALSE(ws.exists("score.xmlorg"));
      continue;
    }
    ASSERT_EQ(outcome.status, 0) << outcome.records;
    EXPECT_EQ(outcome.records, "");
    EXPECT_EQ(ws.get("score.xmlorg"), split.text);
    const std::string result = ws.get("score.xml");
    for (const auto& name : ws.names()) EXPECT_FALSE(name.starts_with("QUILLBRAID_")) << name;

    std::string error;
    EXPECT_TRUE(testsupport::parseDocument(result, &error).has_value()) << error;
    const StaffNotes original = testsupport::notesByStaff(source);
    const StaffNotes merged = testsupport::notesByStaff(result);
    std::size_t compared = 0;
    for (const testsupport::PartMapping& part : split.parts) {
      // A merged part carries the id of its group's last part; a part that was not split
      // keeps its own, renumbered.
      const std::string id = "P" + std::to_string(part.newNumbers.back());
      for (int s = 1; s <= part.staffCount; ++s) {
        SCOPED_TRACE(part.originalId + " staff " + std::to_string(s) + " as " + id);
        const auto want = original.find({part.originalId, s});
        const auto got = merged.find({id, s});
        ASSERT_NE(want, original.end());
        ASSERT_NE(got, merged.end());
        EXPECT_EQ(got->second, want->second);
        compared += want->second.size();
      }
    }
    EXPECT_GT(compared, 0u);
  }
}

}  // namespace
