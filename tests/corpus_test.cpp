// Real scores split into single-staff parts (tests/data/corpus/SOURCES.md; scripts/split-score.py),
// and variants of them, in all four encodings, merged back with QUILLBRAID_OUTPUT=valid and read
// as music: every note of the original on its staff at its onset with its length (fractions of a
// quarter note), each staff's keys, times, clefs and staff details those of its own part, its
// voices its part's under one numbering, ties within a voice, barlines at the measure's edges
// once, shared attributes once; and the schema accepts every result.

#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <numeric>
#include <pugixml.hpp>
#include <set>
#include <sstream>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;
using testsupport::slurp;
using Node = pugi::xml_node;

// A moment or a length as an exact fraction of a quarter note.
std::string quarters(std::int64_t divisions, std::int64_t perQuarter) {
  const std::int64_t g = std::max<std::int64_t>(1, std::gcd(divisions, perQuarter));
  return std::to_string(divisions / g) + "/" + std::to_string(perQuarter / g);
}

std::string pitchOf(const Node& note) {
  if (note.child("rest")) return "rest";
  const Node p = note.child("pitch");
  if (p)
    return std::string(p.child_value("step")) + p.child_value("alter") + p.child_value("octave");
  const Node u = note.child("unpitched");
  return std::string("x") + u.child_value("display-step") + u.child_value("display-octave");
}

std::string text(const Node& node, bool withoutNumber = false) {
  pugi::xml_document copy;
  Node c = copy.append_copy(node);
  if (withoutNumber) c.remove_attribute("number");
  std::ostringstream out;
  c.print(out, "", pugi::format_raw);
  return out.str();
}

// One staff of a part as a reader hears it: its notes ("measure: pitch [chord] at onset for
// length"), their voices, and each change of its keys, times, clefs and staff details (the
// measure, from 0, and the element).
struct Staff {
  std::vector<std::string> notes, voices;
  std::vector<std::string> settings;
  std::map<std::string, std::string> now;  // the setting of each kind in force
};
using Music = std::map<std::pair<std::string, int>, Staff>;

void readSettings(const Node& attributes, int measure, int staves, const std::string& id,
                  Music& music) {
  for (const Node child : attributes.children()) {
    const std::string kind = child.name();
    if (kind != "key" && kind != "time" && kind != "clef" && kind != "staff-details") continue;
    const int number = child.attribute("number").as_int(0);
    for (int s = 1; s <= staves; ++s) {
      if (number != 0 ? number != s : kind == "clef" && s != 1) continue;
      Staff& staff = music[{id, s}];
      if (staff.now[kind] == text(child, true)) continue;
      staff.now[kind] = text(child, true);
      staff.settings.push_back(std::to_string(measure) + " " + staff.now[kind]);
    }
  }
}

Music readMusic(const pugi::xml_document& doc) {
  Music music;
  for (const Node part : doc.child("score-partwise").children("part")) {
    const std::string id = part.attribute("id").value();
    const int staves = part.child("measure").child("attributes").child("staves").text().as_int(1);
    std::int64_t divisions = 1;
    int index = 0;
    for (const Node measure : part.children("measure")) {
      std::int64_t time = 0, onset = 0;
      int lastStaff = 0;
      for (const Node child : measure.children()) {
        const std::string name = child.name();
        const std::int64_t duration = child.child("duration").text().as_llong();
        if (name == "attributes") {
          divisions = child.child("divisions").text().as_llong(divisions);
          readSettings(child, index, staves, id, music);
        }
        time += name == "backup" ? -duration : name == "forward" ? duration : 0;
        if (name != "note") continue;
        const int staff = child.child("staff").text().as_int(1);
        const bool chord = child.child("chord") && staff == lastStaff;
        if (!child.child("chord")) onset = time, time += duration;
        lastStaff = staff;
        Staff& s = music[{id, staff}];
        s.notes.push_back(std::string(measure.attribute("number").value()) + ": " + pitchOf(child) +
                          (chord ? " chord" : "") + " at " + quarters(onset, divisions) + " for " +
                          quarters(duration, divisions));
        s.voices.push_back(child.child_value("voice"));
      }
      ++index;
    }
  }
  return music;
}

// The barlines of each measure of the merged part stand at its edges (aside from print, bookmark
// and link), each once, as the original's measure has them; no attributes twice at one moment.
void checkMeasures(const Node& part, const Node& original, std::vector<std::string>& wrong) {
  auto from = original.children("measure").begin();
  for (const Node measure : part.children("measure")) {
    if (from == original.children("measure").end()) return wrong.push_back("an extra measure");
    const std::string where = "measure " + std::string(measure.attribute("number").value()) + ": ";
    std::set<std::string> barlines, originals, attributes;
    bool music = false, right = false;
    std::int64_t time = 0;
    for (const Node child : measure.children()) {
      const std::string name = child.name();
      if (name == "print" || name == "bookmark" || name == "link") continue;
      const std::string location = child.attribute("location").as_string("right");
      if (name == "barline" && !barlines.insert(text(child)).second)
        wrong.push_back(where + "a barline twice");
      if (name == "barline" && location == "left" && music)
        wrong.push_back(where + "a late left barline");
      if (name != "barline" && right) wrong.push_back(where + "a right barline before " + name);
      if (name == "attributes" && !attributes.insert(std::to_string(time) + text(child)).second) {
        wrong.push_back(where + "the same attributes twice at one moment");
      }
      right = right || (name == "barline" && location == "right");
      music = music || name != "barline";
      const std::int64_t duration = child.child("duration").text().as_llong();
      time += name == "backup"                                                 ? -duration
              : (name == "note" && !child.child("chord")) || name == "forward" ? duration
                                                                               : 0;
    }
    for (const Node barline : (*from++).children("barline")) originals.insert(text(barline));
    if (barlines != originals) wrong.push_back(where + "other barlines than the original's");
  }
}

// Every wrong note of a merged staff; its settings must be its part's in the split score
// (`member`), and its voices its part's under one numbering that no other staff (`taken`) shares,
// so that a tie starts and stops in one voice wherever its notes did.
void checkStaff(const Staff* original, const Staff* member, const Staff* merged,
                const std::string& where, std::set<std::string>& taken,
                std::vector<std::string>& wrong) {
  if (!original || !member || !merged) return wrong.push_back(where + "missing");
  const auto& [want, got] = std::tie(original->notes, merged->notes);
  for (std::size_t k = 0; k < std::max(want.size(), got.size()); ++k) {
    if (k >= want.size() || k >= got.size() || want[k] != got[k]) {
      wrong.push_back(where + "note " + std::to_string(k + 1) + ": " +
                      (k < got.size() ? got[k] : "none") + ", not " +
                      (k < want.size() ? want[k] : "none"));
    }
  }
  if (merged->settings != member->settings)
    wrong.push_back(where + "other settings than its part's");
  std::map<std::string, std::string> to, from;
  for (std::size_t k = 0; k < member->voices.size() && k < merged->voices.size(); ++k) {
    const std::string &a = member->voices[k], &b = merged->voices[k];
    if (to.emplace(a, b).first->second != b || from.emplace(b, a).first->second != a) {
      wrong.push_back(where + "voice " + a + " is " + b + " at " + merged->notes[k]);
    }
  }
  for (const auto& [voice, ignored] : from) {
    if (!taken.insert(voice).second) wrong.push_back(where + "shares voice " + voice);
  }
}

// The split score (UTF-8) in iconv's `charset` after `bom`, its declaration naming `declared`.
std::string inForm(std::string text, const char* charset, std::string_view bom,
                   const char* declared) {
  const std::size_t value = text.find("encoding=\"") + 10;
  text.replace(value, text.find('"', value) - value, declared);
  iconv_t cd = iconv_open(charset, "UTF-8");
  std::string out(text.size() * 2 + 16, '\0');
  char *in = text.data(), *at = out.data();
  std::size_t inLeft = text.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &in, &inLeft, &at, &outLeft), static_cast<std::size_t>(-1));
  iconv_close(cd);
  return std::string(bom) + out.substr(0, out.size() - outLeft);
}

// xmllint's verdict on each of `files` against the MusicXML 4.0 schema, offline: its last line.
std::map<std::string, std::string> validate(const std::vector<std::string>& files) {
  const fs::path schema = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "schema";
  const fs::path report = fs::temp_directory_path() / ("qb-xmllint-" + std::to_string(getpid()));
  std::string command = "XML_CATALOG_FILES='" + (schema / "catalog.xml").string() +
                        "' xmllint --nonet --noout --schema '" + (schema / "musicxml.xsd").string();
  for (const std::string& file : files) command += "' '" + file;
  static_cast<void>(std::system((command + "' 2>'" + report.string() + "'").c_str()));
  std::map<std::string, std::string> verdicts;
  std::istringstream lines(slurp(report));
  for (std::string line; std::getline(lines, line);)
    verdicts[line.substr(0, line.find_first_of(": "))] = line;
  fs::remove(report);
  return verdicts;
}

// The members of each group of a calling sequence, top to bottom, by their bottom part.
std::map<std::string, std::vector<std::string>> groupsOf(const std::string& args) {
  std::map<std::string, std::vector<std::string>> groups;
  for (std::size_t at = 0; (at = args.find("INSTR=,", at)) != std::string::npos; ++at) {
    std::istringstream list(args.substr(at + 7, args.find('/', at) - at - 7));
    std::vector<std::string> members;
    for (std::string n; std::getline(list, n, ',');) members.push_back("P" + n);
    groups[members.back()] = members;
  }
  return groups;
}

// Originals that the schema itself refuses (norma-fantasy: its notes carry data-note-id
// attributes, which MusicXML 4.0 does not define): their results are not validated.
const std::set<std::string> kInvalidOriginals = {"norma-fantasy-three-staves"};

// Merges `input` and lists what is wrong with the result as music.
std::vector<std::string> mergeAndRead(const std::string& input, const std::string& args,
                                      const fs::path& folder, const pugi::xml_document& original,
                                      const Music& split, std::string& result) {
  testsupport::MemoryFileSystem mfs;
  mfs.setFiles({{"score.xml", input}});
  const testsupport::Outcome run = testsupport::runInMemory(
      mfs, args, {}, platform::FileTable::kBlockSize, {{"QUILLBRAID_OUTPUT", "valid"}});
  std::vector<std::string> wrong;
  testsupport::Files after = mfs.files();
  if (run.status != 0) wrong.push_back("status " + std::to_string(run.status) + run.records);
  if (after.size() != 3u || after["score.xmlorg"] != input)
    wrong.push_back("not the result, its copy and backup");
  result = after["score.xml"];
  pugi::xml_document doc;
  if (!doc.load_buffer(result.data(), result.size())) return wrong.push_back("unreadable"), wrong;
  const Music merged = readMusic(doc), originalMusic = readMusic(original);
  const auto find = [](const Music& music, const std::string& id, int staff) -> const Staff* {
    return music.count({id, staff}) ? &music.at({id, staff}) : nullptr;
  };
  const auto groups = groupsOf(args);
  std::istringstream parts(slurp(folder / "parts"));
  for (std::string from, to; parts >> from >> to;) {
    const std::vector<std::string> members = groups.count(to) ? groups.at(to) : std::vector{to};
    std::set<std::string> taken;
    for (std::size_t s = 1; s <= members.size(); ++s) {
      const int staff = static_cast<int>(s);
      checkStaff(find(originalMusic, from, staff), find(split, members[s - 1], 1),
                 find(merged, to, staff), to + " staff " + std::to_string(s) + " ", taken, wrong);
    }
    const auto part = [](const pugi::xml_document& d, const std::string& id) {
      return d.child("score-partwise").find_child_by_attribute("part", "id", id.c_str());
    };
    checkMeasures(part(doc, to), part(original, from), wrong);
  }
  return wrong;
}

TEST(Corpus, EveryScoreAndVariantReadsAsTheOriginalsMusicAndValidates) {
  const fs::path corpus = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "corpus";
  const fs::path dir = fs::temp_directory_path() / ("qb-schema-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::tuple<const char*, std::string_view, const char*> forms[] = {
      {"UTF-8", "", "UTF-8"},
      {"UTF-8", "\xEF\xBB\xBF", "UTF-8"},
      {"UTF-16LE", "\xFF\xFE", "UTF-16"},
      {"UTF-16BE", "\xFE\xFF", "UTF-16"}};
  std::vector<std::string> results;
  std::size_t runs = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_directory()) continue;
    const std::string score = entry.path().filename();
    pugi::xml_document original, split;
    ASSERT_TRUE(original.load_file((entry.path() / "original.musicxml").c_str())) << score;
    std::istringstream argsFile(slurp(entry.path() / "args"));
    std::string args;
    std::getline(argsFile, args);
    for (const auto& file : fs::directory_iterator(entry.path())) {
      const std::string variant = file.path().filename();
      if (!variant.starts_with("score")) continue;
      ASSERT_TRUE(split.load_file(file.path().c_str())) << variant;
      for (const auto& [charset, bom, declared] : forms) {
        const std::string input = inForm(slurp(file.path()), charset, bom, declared);
        std::string result;
        const auto wrong =
            mergeAndRead(input, args, entry.path(), original, readMusic(split), result);
        std::string report;
        for (std::size_t k = 0; k < wrong.size() && k < 40; ++k) report += "\n  " + wrong[k];
        EXPECT_TRUE(wrong.empty()) << score << "/" << variant << " in " << charset << bom.size()
                                   << ": " << wrong.size() << " wrong" << report;
        if (kInvalidOriginals.count(score) == 0) {
          results.push_back(dir /
                            (score + "-" + variant + "-" + charset + std::to_string(bom.size())));
          std::ofstream(results.back(), std::ios::binary) << result;
        }
        ++runs;
      }
    }
  }
  EXPECT_GT(runs, 60u);
  if (testsupport::skippedOnRequest("schema")) GTEST_SKIP() << "validation skipped (QB_SKIP)";
  ASSERT_EQ(std::system("xmllint --version >/dev/null 2>&1"), 0)
      << "xmllint (Debian package libxml2-utils) is missing (QB_SKIP=schema skips this knowingly)";
  const auto verdicts = validate(results);
  EXPECT_EQ(verdicts.size(), results.size());
  for (const auto& [file, verdict] : verdicts) EXPECT_EQ(verdict, file + " validates");
  fs::remove_all(dir);
}

}  // namespace
