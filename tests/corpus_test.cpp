// Real scores split into single-staff parts (tests/data/corpus/SOURCES.md), in all four encodings,
// merged back with and without QUILLBRAID_OUTPUT=valid: every note of the original stands on its
// staff, in order, at its time in the measure, its voice raised past the staves above it; with the
// setting the result validates against the schema, without it only <staff>'s place is wrong.

#include <gtest/gtest.h>
#include <iconv.h>

#include <filesystem>
#include <fstream>
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

// The encodings of a score: iconv's name, the byte-order mark, the name its declaration gives.
struct Form {
  const char* charset;
  std::string_view bom;
  const char* declared;
};
const Form kForms[] = {{"UTF-8", "", "UTF-8"},
                       {"UTF-8", "\xEF\xBB\xBF", "UTF-8"},
                       {"UTF-16LE", "\xFF\xFE", "UTF-16"},
                       {"UTF-16BE", "\xFE\xFF", "UTF-16"}};

// Originals that the schema itself refuses: their results are not validated.
const std::map<std::string, std::string> kInvalidOriginals = {
    {"norma-fantasy-three-staves",
     "its notes carry data-note-id attributes, which MusicXML 4.0 does not define"}};

std::string convert(std::string text, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  std::string out(text.size() * 2 + 16, '\0');
  char *in = text.data(), *at = out.data();
  std::size_t inLeft = text.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &in, &inLeft, &at, &outLeft), static_cast<std::size_t>(-1)) << to;
  iconv_close(cd);
  return out.substr(0, out.size() - outLeft);
}

// The split score in `form`, its declaration naming the encoding, as the converter writes it.
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

// xmllint's lines on `files` against the MusicXML 4.0 schema, offline, by file; a file's last
// line says whether it validates.
std::map<std::string, std::vector<std::string>> validate(const std::vector<std::string>& files) {
  const fs::path schema = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "schema";
  const fs::path report = fs::temp_directory_path() / ("qb-xmllint-" + std::to_string(getpid()));
  std::string command = "XML_CATALOG_FILES='" + (schema / "catalog.xml").string() +
                        "' xmllint --nonet --noout --schema '" + (schema / "musicxml.xsd").string();
  for (const std::string& file : files) command += "' '" + file;
  static_cast<void>(std::system((command + "' 2>'" + report.string() + "'").c_str()));
  std::map<std::string, std::vector<std::string>> lines;
  std::istringstream text(slurp(report));
  for (std::string line; std::getline(text, line);) {
    lines[line.substr(0, line.find_first_of(": "))].push_back(line);
  }
  fs::remove(report);
  return lines;
}

TEST(Corpus, EveryNoteOnItsStaffAndTheSchemaAcceptsTheResultWithTheSetting) {
  const fs::path corpus = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "corpus";
  const fs::path dir = fs::temp_directory_path() / ("qb-schema-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<std::string> originals, results;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_directory()) continue;
    const std::string score = entry.path().filename();
    originals.push_back(entry.path() / "original.musicxml");
    const auto original = notesByStaff(slurp(entry.path() / "original.musicxml"), true);
    const std::string args =
        slurp(entry.path() / "args").substr(0, slurp(entry.path() / "args").find('\n'));
    for (std::size_t form = 0; form < std::size(kForms); ++form) {
      const std::string split = inForm(slurp(entry.path() / "score.xml"), kForms[form]);
      for (const bool valid : {false, true}) {
        const std::string name = score + "-" + std::to_string(form) + (valid ? "-valid" : "");
        SCOPED_TRACE(name);
        testsupport::MemoryFileSystem mfs;
        mfs.files["score.xml"] = split;
        testsupport::Environment environment;
        if (valid) environment["QUILLBRAID_OUTPUT"] = "valid";
        const testsupport::Outcome run =
            testsupport::runInMemory(mfs, args, {}, platform::FileTable::kBlockSize, environment);
        ASSERT_EQ(run.status, 0) << run.records;
        EXPECT_EQ(mfs.files.size(), 3u) << "the result, its copy and the backup; no work file";
        EXPECT_EQ(mfs.files["score.xmlorg"], split);
        const auto result = notesByStaff(mfs.files["score.xml"], false);
        std::size_t notes = 0, resultNotes = 0;
        std::istringstream parts(slurp(entry.path() / "parts"));
        for (std::string from, to; parts >> from >> to;) {
          for (int staff = 1; original.count({from, staff}) != 0; ++staff) {
            SCOPED_TRACE(from + " staff " + std::to_string(staff) + " as " + to);
            ASSERT_EQ(result.count({to, staff}), 1u);
            EXPECT_EQ(result.at({to, staff}), original.at({from, staff}));
            notes += original.at({from, staff}).size();
          }
        }
        for (const auto& [staff, list] : result) resultNotes += list.size();
        EXPECT_EQ(resultNotes, notes);
        EXPECT_GT(notes, 10u);
        // Validated: every result with the setting; without it, UTF-8 and UTF-16LE (a UTF-16BE
        // input's result declares UTF-16 and is refused before any element).
        if (kInvalidOriginals.count(score) == 0 && (valid || form % 2 == 0)) {
          results.push_back(dir / (name + ".xml"));
          std::ofstream(results.back(), std::ios::binary) << mfs.files["score.xml"];
        }
      }
    }
  }
  EXPECT_EQ(originals.size(), 5u);
  if (testsupport::skippedOnRequest("schema")) GTEST_SKIP() << "validation skipped (QB_SKIP)";
  ASSERT_EQ(std::system("xmllint --version >/dev/null 2>&1"), 0)
      << "xmllint (Debian package libxml2-utils) is missing (QB_SKIP=schema skips this knowingly)";
  for (const auto& [file, lines] : validate(originals)) {
    const std::string score = fs::path(file).parent_path().filename();
    EXPECT_EQ(lines.back() == file + " validates", kInvalidOriginals.count(score) == 0) << file;
  }
  const auto verdicts = validate(results);
  EXPECT_EQ(verdicts.size(), results.size());
  std::size_t misplacedStaves = 0;
  for (const auto& [file, lines] : verdicts) {
    SCOPED_TRACE(file);
    const bool valid = file.ends_with("-valid.xml");
    EXPECT_TRUE(!valid || lines.back() == file + " validates") << lines[0];
    // Without the setting, <staff> ends its element: only that may be wrong, and somewhere is.
    for (std::size_t k = 0; !valid && k + 1 < lines.size(); ++k) {
      EXPECT_NE(lines[k].find(": element staff: Schemas validity error : Element 'staff': This "
                              "element is not expected."),
                std::string::npos)
          << lines[k];
      ++misplacedStaves;
    }
  }
  EXPECT_GT(misplacedStaves, 0u);
  fs::remove_all(dir);
}

}  // namespace
