// Real scores split into single-staff parts (tests/data/corpus/SOURCES.md; scripts/split-score.py),
// and variants of them, in all four encodings, merged back with QUILLBRAID_OUTPUT=valid and read
// as music: every note of the original on its staff at its onset with its length (fractions of a
// quarter note), each staff's keys, times, clefs and staff details those of its own part, its
// voices its part's under one numbering, ties within a voice, barlines at the measure's edges
// once, shared attributes once; and the schema accepts every result.

#include <gtest/gtest.h>
#include <iconv.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <pugixml.hpp>
#include <set>
#include <sstream>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;
using testsupport::slurp;

// A moment or a length as an exact fraction of a quarter note.
struct Quarter {
  Quarter(std::int64_t divisions, std::int64_t per) {
    const std::int64_t g = std::gcd(divisions, per);
    num = g == 0 ? 0 : divisions / g, den = g == 0 ? 1 : per / g;
  }
  std::int64_t num, den;
  bool operator==(const Quarter&) const = default;
};

struct Note {
  std::string measure, pitch;
  bool chord;
  Quarter onset, length;
  std::string voice;
  bool operator==(const Note& o) const {
    return measure == o.measure && pitch == o.pitch && chord == o.chord && onset == o.onset &&
           length == o.length;
  }
};

std::ostream& operator<<(std::ostream& os, const Note& n) {
  return os << n.pitch << (n.chord ? " (chord)" : "") << " at " << n.onset.num << "/" << n.onset.den
            << ", " << n.length.num << "/" << n.length.den;
}

std::string pitchOf(const pugi::xml_node& note) {
  if (note.child("rest")) return "rest";
  if (const auto p = note.child("pitch")) {
    return std::string(p.child_value("step")) + p.child_value("alter") + p.child_value("octave");
  }
  const auto u = note.child("unpitched");
  return std::string("x") + u.child_value("display-step") + u.child_value("display-octave");
}

std::string text(const pugi::xml_node& node, bool withoutNumber = false) {
  pugi::xml_document copy;
  pugi::xml_node c = copy.append_copy(node);
  if (withoutNumber) c.remove_attribute("number");
  std::ostringstream out;
  c.print(out, "", pugi::format_raw);
  return out.str();
}

// One staff of a part as a reader hears it: its notes, and each change of its keys, times, clefs
// and staff details (by measure, from 0).
struct Staff {
  std::vector<Note> notes;
  std::map<std::string, std::vector<std::pair<int, std::string>>> changes;
  std::vector<std::pair<std::string, bool>> ties;  // each tie's pitch + voice, and whether it stops
};
using Music = std::map<std::pair<std::string, int>, Staff>;

void readAttributes(const pugi::xml_node& attributes, int measure, int staves,
                    const std::string& id, Music& music) {
  for (const auto child : attributes.children()) {
    const std::string kind = child.name();
    if (kind != "key" && kind != "time" && kind != "clef" && kind != "staff-details") continue;
    const int number = child.attribute("number").as_int(0);
    for (int s = 1; s <= staves; ++s) {
      if (number != 0 ? number != s : kind == "clef" && s != 1) continue;
      auto& list = music[{id, s}].changes[kind];
      if (list.empty() || list.back().second != text(child, true)) {
        list.emplace_back(measure, text(child, true));
      }
    }
  }
}

Music readMusic(const pugi::xml_document& doc) {
  Music music;
  for (const auto part : doc.child("score-partwise").children("part")) {
    const std::string id = part.attribute("id").value();
    const int staves = part.child("measure").child("attributes").child("staves").text().as_int(1);
    std::int64_t divisions = 1;
    int index = 0;
    for (const auto measure : part.children("measure")) {
      std::int64_t time = 0, onset = 0;
      int lastStaff = 0;
      for (const auto child : measure.children()) {
        const std::string name = child.name();
        const std::int64_t duration = child.child("duration").text().as_llong();
        if (name == "attributes") {
          divisions = child.child("divisions").text().as_llong(divisions);
          readAttributes(child, index, staves, id, music);
        }
        if (name == "backup") time -= duration;
        if (name == "forward") time += duration;
        if (name != "note") continue;
        const int staff = child.child("staff").text().as_int(1);
        const bool chord = child.child("chord") && staff == lastStaff;
        if (!child.child("chord")) onset = time, time += duration;
        lastStaff = staff;
        Staff& s = music[{id, staff}];
        s.notes.push_back({measure.attribute("number").value(), pitchOf(child), chord,
                           Quarter(onset, divisions), Quarter(duration, divisions),
                           child.child_value("voice")});
        for (const auto tie : child.children("tie")) {
          s.ties.emplace_back(pitchOf(child) + " " + s.notes.back().voice,
                              tie.attribute("type").value() == std::string_view("stop"));
        }
      }
      ++index;
    }
  }
  return music;
}

// What is wrong with the barlines and attributes of the merged part `part`, by measure:
// barlines at the edges, each once, as the original's measure has them; no attributes twice at
// one moment.
void checkMeasures(const pugi::xml_node& part, const pugi::xml_node& original,
                   std::vector<std::string>& wrong) {
  auto from = original.children("measure").begin();
  for (const auto measure : part.children("measure")) {
    if (from == original.children("measure").end()) return wrong.push_back("an extra measure");
    const std::string where = "measure " + std::string(measure.attribute("number").value()) + ": ";
    std::set<std::string> barlines, originalBarlines, attributes;
    bool music = false, right = false;
    std::int64_t time = 0;
    for (const auto child : measure.children()) {
      const std::string name = child.name();
      if (name == "print" || name == "bookmark" || name == "link") continue;
      const std::string location = child.attribute("location").as_string("right");
      if (name == "barline" && !barlines.insert(text(child)).second) {
        wrong.push_back(where + "a barline twice");
      }
      if (name == "barline" && location == "left" && music) wrong.push_back(where + "left late");
      if (name != "barline" && right) wrong.push_back(where + "a right barline before " + name);
      right = right || (name == "barline" && location == "right");
      music = music || name != "barline";
      if (name == "attributes" && !attributes.insert(std::to_string(time) + text(child)).second) {
        wrong.push_back(where + "the same attributes twice at one moment");
      }
      const std::int64_t duration = child.child("duration").text().as_llong();
      if (name == "backup") time -= duration;
      if ((name == "note" && !child.child("chord")) || name == "forward") time += duration;
    }
    for (const auto barline : (*from++).children("barline")) originalBarlines.insert(text(barline));
    if (barlines != originalBarlines) wrong.push_back(where + "other barlines than the original's");
  }
}

// How many ties stop in another voice than the one where a tie on their pitch started.
int crossVoiceTies(const Staff& staff) {
  std::multiset<std::string> open;
  int crossing = 0;
  for (const auto& [tie, stops] : staff.ties) {
    const std::string pitch = tie.substr(0, tie.find(' '));
    if (!stops) {
      open.insert(tie);
    } else if (open.count(tie) != 0) {
      open.erase(open.find(tie));
    } else if (std::any_of(open.begin(), open.end(),
                           [&](const std::string& o) { return o.starts_with(pitch + " "); })) {
      ++crossing;
    }
  }
  return crossing;
}

// Each staff's voices are its part's under one numbering for the whole piece, no two staves share
// one, and every tie stops in the voice where it started.
void checkVoices(const Staff& member, const Staff& merged, const std::string& where,
                 std::set<std::string>& taken, std::vector<std::string>& wrong) {
  std::map<std::string, std::string> to, from;
  for (std::size_t k = 0; k < member.notes.size() && k < merged.notes.size(); ++k) {
    const std::string &a = member.notes[k].voice, &b = merged.notes[k].voice;
    if (to.emplace(a, b).first->second != b || from.emplace(b, a).first->second != a) {
      wrong.push_back(where + "voice " + a + " is " + b + " in measure " + merged.notes[k].measure);
    }
  }
  for (const auto& [voice, ignored] : from) {
    if (!taken.insert(voice).second) wrong.push_back(where + "shares voice " + voice);
  }
  if (crossVoiceTies(merged) != crossVoiceTies(member))
    wrong.push_back(where + "a tie changes voice");
}

// Every wrong note, staff setting and voice of the merged part `to` of `from`'s staves, whose
// parts in the split score are `members` (ids, top to bottom).
void checkStaves(const Music& original, const Music& split, const Music& result,
                 const std::string& from, const std::string& to,
                 const std::vector<std::string>& members, std::vector<std::string>& wrong) {
  std::set<std::string> taken;
  for (std::size_t s = 1; s <= members.size(); ++s) {
    const std::string where = to + " staff " + std::to_string(s) + ": ";
    const auto got = result.find({to, static_cast<int>(s)});
    const auto want = original.find({from, static_cast<int>(s)});
    const auto member = split.find({members[s - 1], 1});
    if (got == result.end() || want == original.end() || member == split.end()) {
      wrong.push_back(where + "missing");
      continue;
    }
    const std::vector<Note>&g = got->second.notes, &w = want->second.notes;
    for (std::size_t k = 0; k < std::max(g.size(), w.size()); ++k) {
      if (k < g.size() && k < w.size() && g[k] == w[k]) continue;
      std::ostringstream line;
      line << where << "note " << k + 1 << " of measure "
           << (k < w.size() ? w[k].measure : g[k].measure) << ": ";
      k < g.size() ? line << g[k] : line << "none";
      k < w.size() ? line << ", not " << w[k] : line << ", an extra one";
      wrong.push_back(line.str());
    }
    if (got->second.changes != member->second.changes) {
      wrong.push_back(where + "other keys, times, clefs or staff details than its part's");
    }
    checkVoices(member->second, got->second, where, taken, wrong);
  }
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

// The split score (UTF-8) in `form`, its declaration naming the encoding, as the converter writes.
std::string inForm(std::string text, const Form& form) {
  const std::size_t value = text.find("encoding=\"") + 10;
  text.replace(value, text.find('"', value) - value, form.declared);
  iconv_t cd = iconv_open(form.charset, "UTF-8");
  std::string out(text.size() * 2 + 16, '\0');
  char *in = text.data(), *at = out.data();
  std::size_t inLeft = text.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &in, &inLeft, &at, &outLeft), static_cast<std::size_t>(-1));
  iconv_close(cd);
  return std::string(form.bom) + out.substr(0, out.size() - outLeft);
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

bool load(pugi::xml_document& doc, const std::string& bytes, std::vector<std::string>& wrong) {
  const pugi::xml_parse_result parsed = doc.load_buffer(bytes.data(), bytes.size());
  if (!parsed) wrong.push_back(std::string("unreadable: ") + parsed.description());
  return static_cast<bool>(parsed);
}

// The groups of a calling sequence: the member ids of each, top to bottom.
std::vector<std::vector<std::string>> groupsOf(const std::string& args) {
  std::vector<std::vector<std::string>> groups;
  for (std::size_t at = 0; (at = args.find("INSTR=", at)) != std::string::npos;) {
    std::istringstream list(args.substr(at + 7, args.find('/', at) - at - 7));
    groups.emplace_back();
    for (std::string n; std::getline(list, n, ',');) groups.back().push_back("P" + n);
    at += 6;
  }
  return groups;
}

TEST(Corpus, EveryScoreAndVariantReadsAsTheOriginalsMusicAndValidates) {
  const fs::path corpus = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "corpus";
  const fs::path dir = fs::temp_directory_path() / ("qb-schema-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<std::string> originals, results;
  std::size_t notes = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_directory()) continue;
    const std::string score = entry.path().filename();
    originals.push_back(entry.path() / "original.musicxml");
    pugi::xml_document originalDoc, splitDoc;
    std::vector<std::string> unread;
    ASSERT_TRUE(load(originalDoc, slurp(originals.back()), unread)) << score;
    const Music original = readMusic(originalDoc);
    const std::string args =
        slurp(entry.path() / "args").substr(0, slurp(entry.path() / "args").find('\n'));
    for (const auto& file : fs::directory_iterator(entry.path())) {
      const std::string variant = file.path().filename();
      if (!variant.starts_with("score")) continue;
      ASSERT_TRUE(load(splitDoc, slurp(file.path()), unread)) << variant;
      const Music split = readMusic(splitDoc);
      for (std::size_t form = 0; form < std::size(kForms); ++form) {
        const std::string name = score + "/" + variant + " in form " + std::to_string(form);
        const std::string input = inForm(slurp(file.path()), kForms[form]);
        testsupport::MemoryFileSystem mfs;
        mfs.setFiles({{"score.xml", input}});
        const testsupport::Outcome run = testsupport::runInMemory(
            mfs, args, {}, platform::FileTable::kBlockSize, {{"QUILLBRAID_OUTPUT", "valid"}});
        std::vector<std::string> wrong;
        if (run.status != 0) wrong.push_back("status " + std::to_string(run.status) + run.records);
        testsupport::Files after = mfs.files();
        if (after.size() != 3u || after["score.xmlorg"] != input) {
          wrong.push_back("not the result, its copy and the backup alone");
        }
        pugi::xml_document result;
        if (load(result, after["score.xml"], wrong)) {
          const Music merged = readMusic(result);
          std::istringstream parts(slurp(entry.path() / "parts"));
          const auto groups = groupsOf(args);
          for (std::string from, to; parts >> from >> to;) {
            const auto group = std::find_if(groups.begin(), groups.end(),
                                            [&](const auto& g) { return g.back() == to; });
            checkStaves(original, split, merged, from, to,
                        group != groups.end() ? *group : std::vector{to}, wrong);
            checkMeasures(
                result.child("score-partwise").find_child_by_attribute("part", "id", to.c_str()),
                originalDoc.child("score-partwise")
                    .find_child_by_attribute("part", "id", from.c_str()),
                wrong);
            notes += original.count({from, 1}) != 0 ? original.at({from, 1}).notes.size() : 0;
          }
        }
        std::string report;
        for (std::size_t k = 0; k < wrong.size() && k < 40; ++k) report += "\n  " + wrong[k];
        EXPECT_TRUE(wrong.empty()) << name << ": " << wrong.size() << " wrong" << report;
        if (kInvalidOriginals.count(score) == 0) {
          results.push_back(dir / (score + "-" + variant + "-" + std::to_string(form) + ".xml"));
          std::ofstream(results.back(), std::ios::binary) << after["score.xml"];
        }
      }
    }
  }
  EXPECT_GT(notes, 1000u);
  if (testsupport::skippedOnRequest("schema")) GTEST_SKIP() << "validation skipped (QB_SKIP)";
  ASSERT_EQ(std::system("xmllint --version >/dev/null 2>&1"), 0)
      << "xmllint (Debian package libxml2-utils) is missing (QB_SKIP=schema skips this knowingly)";
  for (const auto& [file, lines] : validate(originals)) {
    const std::string score = fs::path(file).parent_path().filename();
    EXPECT_EQ(lines.back() == file + " validates", kInvalidOriginals.count(score) == 0) << file;
  }
  const auto verdicts = validate(results);
  EXPECT_EQ(verdicts.size(), results.size());
  for (const auto& [file, lines] : verdicts) {
    EXPECT_EQ(lines.back(), file + " validates") << lines[0];
  }
  fs::remove_all(dir);
}

}  // namespace
