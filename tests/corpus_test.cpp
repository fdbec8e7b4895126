// Real scores split into the converter's single-staff parts (tests/data/corpus/SOURCES.md) and
// merged back: read with pugixml, every note of the original must stand on its staff in the
// result, in order, at the same time within its measure, with its voice raised past the voices of
// the staves above it.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <pugixml.hpp>
#include <sstream>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;
using testsupport::slurp;

struct Note {
  std::string measure, pitch, duration;
  int voice;
  double start;  // in divisions from the measure's start
  bool operator==(const Note&) const = default;
};

void PrintTo(const Note& n, std::ostream* os) {
  *os << "measure " << n.measure << " " << n.pitch << " " << n.duration << " voice " << n.voice
      << " at " << n.start;
}

std::string pitchOf(const pugi::xml_node& note) {
  if (note.child("rest")) return "rest";
  if (const auto p = note.child("pitch")) {
    return std::string(p.child_value("step")) + p.child_value("alter") + p.child_value("octave");
  }
  const auto u = note.child("unpitched");
  return std::string("x") + u.child_value("display-step") + u.child_value("display-octave");
}

// Notes by part id and staff. With `raise`, a note's voice is raised by the highest voice of
// every staff above it in the same measure, as the merge raises it.
std::map<std::pair<std::string, int>, std::vector<Note>> notesByStaff(const std::string& bytes,
                                                                      bool raise) {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_buffer(bytes.data(), bytes.size());
  EXPECT_TRUE(parsed) << parsed.description() << " at byte " << parsed.offset;
  std::map<std::pair<std::string, int>, std::vector<Note>> staves;
  for (const auto part : doc.child("score-partwise").children("part")) {
    for (const auto measure : part.children("measure")) {
      std::map<int, int> highest;
      for (const auto note : measure.children("note")) {
        int& h = highest[note.child("staff").text().as_int(1)];
        h = std::max(h, note.child("voice").text().as_int());
      }
      // A note starts after the durations before it, less the backups, plus the forwards; the
      // notes of a chord share one start.
      double time = 0, start = 0;
      for (const auto child : measure.children()) {
        const double duration = child.child("duration").text().as_double();
        if (child.name() == std::string_view("backup")) time -= duration;
        if (child.name() == std::string_view("forward")) time += duration;
        if (child.name() != std::string_view("note")) continue;
        if (!child.child("chord")) {
          start = time;
          time += duration;
        }
        const int staff = child.child("staff").text().as_int(1);
        int voice = child.child("voice").text().as_int();
        for (auto h = highest.begin(); raise && h != highest.end() && h->first < staff; ++h) {
          voice += h->second;
        }
        staves[{part.attribute("id").value(), staff}].push_back(
            {measure.attribute("number").value(), pitchOf(child), child.child_value("duration"),
             voice, start});
      }
    }
  }
  return staves;
}

TEST(Corpus, EveryNoteStandsOnItsStaffWithItsVoiceRaised) {
  const fs::path corpus = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "corpus";
  int scores = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_directory()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++scores;
    std::string args = slurp(entry.path() / "args");
    args.pop_back();
    const std::string split = slurp(entry.path() / "score.xml");
    testsupport::MemoryFileSystem mfs;
    mfs.files["score.xml"] = split;
    const testsupport::Outcome run = testsupport::runInMemory(mfs, args);
    ASSERT_EQ(run.status, 0) << run.records;
    EXPECT_EQ(mfs.files.size(), 3u) << "the result, its copy and the backup; no work file";
    EXPECT_EQ(mfs.files["score.xmlorg"], split);

    const auto original = notesByStaff(slurp(entry.path() / "original.musicxml"), true);
    const auto merged = notesByStaff(mfs.files["score.xml"], false);
    std::size_t notes = 0;
    std::istringstream parts(slurp(entry.path() / "parts"));
    for (std::string from, to; parts >> from >> to;) {
      for (int staff = 1; original.count({from, staff}) != 0; ++staff) {
        SCOPED_TRACE(from + " staff " + std::to_string(staff) + " as " + to);
        ASSERT_EQ(merged.count({to, staff}), 1u);
        EXPECT_EQ(merged.at({to, staff}), original.at({from, staff}));
        notes += original.at({from, staff}).size();
      }
    }
    std::size_t mergedNotes = 0;
    for (const auto& [staff, list] : merged) mergedNotes += list.size();
    EXPECT_EQ(mergedNotes, notes);
    EXPECT_GT(notes, 10u);
  }
  EXPECT_EQ(scores, 5);
}

}  // namespace
