// Real scores split into the converter's single-staff parts (tests/data/corpus/SOURCES.md), in
// every encoding a score comes in, merged back with and without QUILLBRAID_OUTPUT=valid: read with
// pugixml, every note of the original must stand on its staff in the result, in order, at the same
// time within its measure, with its voice raised past the voices of the staves above it. With the
// setting, the results validate against the MusicXML 4.0 schema (xmllint); without it, the only
// errors are the <staff> lines' place.

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <set>
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

// The encodings of a score, each with the declaration the converter writes for it.
struct Form {
  const char* name;
  const char* charset;
  std::string_view bom;
  const char* declared;
};
const Form kForms[] = {{"utf8", "UTF-8", "", "UTF-8"},
                       {"utf8-bom", "UTF-8", "\xEF\xBB\xBF", "UTF-8"},
                       {"utf16le", "UTF-16LE", "\xFF\xFE", "UTF-16"},
                       {"utf16be", "UTF-16BE", "\xFE\xFF", "UTF-16"}};

// Originals that the schema itself refuses: their results are not validated.
const std::map<std::string, std::string> kInvalidOriginals = {
    {"norma-fantasy-three-staves",
     "its notes carry data-note-id attributes, which MusicXML 4.0 does not define"}};

std::string convert(std::string text, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << from << " to " << to;
  std::string out(text.size() * 2 + 16, '\0');
  char* in = text.data();
  char* at = out.data();
  std::size_t inLeft = text.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &in, &inLeft, &at, &outLeft), static_cast<std::size_t>(-1));
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

// The split score in `form`, its declaration naming the encoding as the converter would.
std::string inForm(const std::string& split, const Form& form) {
  const Form& own = split.starts_with("\xFF\xFE")       ? kForms[2]
                    : split.starts_with("\xFE\xFF")     ? kForms[3]
                    : split.starts_with("\xEF\xBB\xBF") ? kForms[1]
                                                        : kForms[0];
  std::string text = convert(split.substr(own.bom.size()), own.charset, "UTF-8");
  const std::size_t value = text.find("encoding=\"") + 10;
  text.replace(value, text.find('"', value) - value, form.declared);
  return std::string(form.bom) + convert(text, "UTF-8", form.charset);
}

struct Merged {
  std::string score, form;
  bool valid;  // QUILLBRAID_OUTPUT=valid
  std::string result;
};

// Every corpus score merged in every form, with and without the setting; each run checked.
std::vector<Merged> mergeAll() {
  const fs::path corpus = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "corpus";
  std::vector<Merged> all;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_directory()) continue;
    std::string args = slurp(entry.path() / "args");
    args.pop_back();
    for (const Form& form : kForms) {
      const std::string split = inForm(slurp(entry.path() / "score.xml"), form);
      for (const bool valid : {false, true}) {
        SCOPED_TRACE(entry.path().filename().string() + " " + form.name + (valid ? " valid" : ""));
        testsupport::MemoryFileSystem mfs;
        mfs.files["score.xml"] = split;
        testsupport::Environment environment;
        if (valid) environment["QUILLBRAID_OUTPUT"] = "valid";
        const testsupport::Outcome run =
            testsupport::runInMemory(mfs, args, {}, platform::FileTable::kBlockSize, environment);
        EXPECT_EQ(run.status, 0) << run.records;
        EXPECT_EQ(mfs.files.size(), 3u) << "the result, its copy and the backup; no work file";
        EXPECT_EQ(mfs.files["score.xmlorg"], split);
        all.push_back({entry.path().filename().string(), form.name, valid, mfs.files["score.xml"]});
      }
    }
  }
  return all;
}

TEST(Corpus, EveryNoteStandsOnItsStaffWithItsVoiceRaised) {
  const fs::path corpus = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "corpus";
  std::set<std::string> scores;
  for (const Merged& merged : mergeAll()) {
    SCOPED_TRACE(merged.score + " " + merged.form + (merged.valid ? " valid" : ""));
    scores.insert(merged.score);
    const auto original = notesByStaff(slurp(corpus / merged.score / "original.musicxml"), true);
    const auto result = notesByStaff(merged.result, false);
    std::size_t notes = 0;
    std::istringstream parts(slurp(corpus / merged.score / "parts"));
    for (std::string from, to; parts >> from >> to;) {
      for (int staff = 1; original.count({from, staff}) != 0; ++staff) {
        SCOPED_TRACE(from + " staff " + std::to_string(staff) + " as " + to);
        ASSERT_EQ(result.count({to, staff}), 1u);
        EXPECT_EQ(result.at({to, staff}), original.at({from, staff}));
        notes += original.at({from, staff}).size();
      }
    }
    std::size_t resultNotes = 0;
    for (const auto& [staff, list] : result) resultNotes += list.size();
    EXPECT_EQ(resultNotes, notes);
    EXPECT_GT(notes, 10u);
  }
  EXPECT_EQ(scores.size(), 5u);
}

// xmllint's verdict on each of `files` against the MusicXML 4.0 schema, offline: the lines it
// printed for each, its "validates" line last.
std::map<std::string, std::vector<std::string>> validate(const std::vector<fs::path>& files) {
  const fs::path schema = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "schema";
  const fs::path report = fs::temp_directory_path() / ("qb-xmllint-" + std::to_string(getpid()));
  std::string command = "XML_CATALOG_FILES='" + (schema / "catalog.xml").string() +
                        "' xmllint --nonet --noout --schema '" +
                        (schema / "musicxml.xsd").string() + "'";
  for (const fs::path& file : files) command += " '" + file.string() + "'";
  static_cast<void>(std::system((command + " 2>'" + report.string() + "'").c_str()));
  std::map<std::string, std::vector<std::string>> verdicts;
  std::istringstream lines(slurp(report));
  for (std::string line; std::getline(lines, line);) {
    verdicts[line.substr(0, line.find_first_of(": "))].push_back(line);
  }
  fs::remove(report);
  return verdicts;
}

bool skippedOnRequest(const std::string& check) {
  std::istringstream names(std::getenv("QB_SKIP") != nullptr ? std::getenv("QB_SKIP") : "");
  for (std::string name; names >> name;) {
    if (name == check) return true;
  }
  return false;
}

TEST(Corpus, MergedScoresValidateAgainstTheSchema) {
  if (skippedOnRequest("schema")) GTEST_SKIP() << "skipped on request (QB_SKIP=schema)";
  ASSERT_EQ(std::system("xmllint --version >/dev/null 2>&1"), 0)
      << "xmllint (Debian package libxml2-utils) is missing (QB_SKIP=schema skips this knowingly)";
  const fs::path corpus = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "corpus";
  const fs::path dir = fs::temp_directory_path() / ("qb-schema-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<fs::path> originals, files;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (entry.is_directory()) originals.push_back(entry.path() / "original.musicxml");
  }
  for (const auto& [file, lines] : validate(originals)) {
    const std::string score = fs::path(file).parent_path().filename();
    EXPECT_EQ(lines.back() == file + " validates", kInvalidOriginals.count(score) == 0)
        << file << ": " << lines.back();
  }
  for (const Merged& merged : mergeAll()) {
    // Without the setting, <staff> ends its element: only that may be wrong, in UTF-8 and UTF-16LE
    // (a UTF-16BE input's result declares UTF-16 and is refused before any element).
    if (kInvalidOriginals.count(merged.score) != 0) continue;
    if (!merged.valid && merged.form != std::string("utf8") &&
        merged.form != std::string("utf16le")) {
      continue;
    }
    files.push_back(dir /
                    (merged.score + "-" + merged.form + (merged.valid ? "-valid" : "") + ".xml"));
    std::ofstream(files.back(), std::ios::binary) << merged.result;
  }
  const auto verdicts = validate(files);
  EXPECT_EQ(verdicts.size(), files.size());
  std::size_t misplacedStaves = 0;
  for (const auto& [file, lines] : verdicts) {
    SCOPED_TRACE(file);
    if (file.ends_with("-valid.xml")) {
      EXPECT_EQ(lines.back(), file + " validates") << lines.front();
      continue;
    }
    for (std::size_t k = 0; k + 1 < lines.size(); ++k) {
      EXPECT_NE(lines[k].find(": element staff: Schemas validity error : Element 'staff': This "
                              "element is not expected."),
                std::string::npos)
          << lines[k];
      ++misplacedStaves;
    }
  }
  EXPECT_GT(misplacedStaves, 0u) << "no result shows where the schema wants <staff>";
  fs::remove_all(dir);
}

}  // namespace
