#include "score_tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {
namespace {

// Expected converter layout written readably: two leading spaces stand for one tab, and every
// line gets CR LF.
std::string layout(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    while (line.starts_with("  ")) {
      out += '\t';
      line.remove_prefix(2);
    }
    out += std::string(line) + "\r\n";
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Two-staff piano in one measure of 2/4 (divisions 1): `body` is the measure after its
// attributes.
std::string pianoScore(std::string_view body, std::string_view attributes = {}) {
  std::string defaultAttributes =
      "<divisions>1</divisions><key><fifths>0</fifths></key>"
      "<time><beats>2</beats><beat-type>4</beat-type></time><staves>2</staves>"
      "<clef number='1'><sign>G</sign><line>2</line></clef>"
      "<clef number='2'><sign>F</sign><line>4</line></clef>";
  return "<score-partwise><part-list><score-part id='A'><part-name>Pno</part-name></score-part>"
         "</part-list><part id='A'><measure number='1' width='90'><attributes>" +
         std::string(attributes.empty() ? defaultAttributes : attributes) + "</attributes>" +
         std::string(body) + "</measure></part></score-partwise>";
}

std::string note(std::string_view step, int staff, int duration, std::string_view extra = {}) {
  return "<note>" + std::string(extra) + "<pitch><step>" + std::string(step) +
         "</step><octave>4</octave></pitch><duration>" + std::to_string(duration) +
         "</duration><voice>1</voice><staff>" + std::to_string(staff) + "</staff></note>";
}

TEST(SplitScoreTest, WritesConverterLayoutByteForByte) {
  const std::string source =
      "<?xml version='1.0' encoding='UTF-8' standalone='no'?>\n"
      "<!DOCTYPE score-partwise PUBLIC \"-//Recordare//DTD MusicXML 4.0 Partwise//EN\"\n"
      "  \"http://www.musicxml.org/dtds/partwise.dtd\">\n"
      "<score-partwise version='4.0'><!-- top -->\r\n"
      "  <work><work-title>Tom &amp; Jerry Étude</work-title></work>\n"
      "  <part-list><score-part id='A'><part-name> </part-name></score-part></part-list>\n"
      "  <part id=\"A\"><measure width='90' number='1'><attributes><divisions>1</divisions>"
      "<time><beats>2</beats><beat-type>4</beat-type></time><staves>2</staves>"
      "<clef number='1'><sign>G</sign></clef><clef number='2'><sign>F</sign></clef></attributes>\n"
      "    <note default-x='3'><pitch><step>C</step><octave>4</octave></pitch>"
      "<duration>2</duration><staff>1</staff></note><?app hint?>\n"
      "    <backup><duration>2</duration></backup>\n"
      "    <direction><direction-type><words font-family='A \"B\"'>p</words></direction-type>"
      "<staff>2</staff></direction>\n"
      "    <note><rest></rest><duration>2</duration><staff>2</staff></note>\n"
      "  </measure></part>\n"
      "</score-partwise>\n";
  SplitResult result = splitScore(source);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.groups, "STAVESUP=1,PART=2,INSTR=,1,2,/");
  ASSERT_EQ(result.parts.size(), 1u);
  EXPECT_EQ(result.parts[0].originalId, "A");
  EXPECT_EQ(result.parts[0].newNumbers, (std::vector<int>{1, 2}));
  EXPECT_EQ(result.text, layout(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE score-partwise PUBLIC "-//Recordare//DTD MusicXML 4.0 Partwise//EN" "http://www.musicxml.org/dtds/partwise.dtd">
<score-partwise version="4.0">
  <!-- top -->
  <work>
    <work-title>Tom &amp; Jerry Étude</work-title>
  </work>
  <part-list>
    <score-part id="P1">
      <part-name> </part-name>
    </score-part>
    <score-part id="P2">
      <part-name> </part-name>
    </score-part>
  </part-list>
  <part id="P1">
    <measure number="1" width="90">
      <attributes>
        <divisions>1</divisions>
        <time>
          <beats>2</beats>
          <beat-type>4</beat-type>
        </time>
        <clef>
          <sign>G</sign>
        </clef>
      </attributes>
      <note>
        <pitch>
          <step>C</step>
          <octave>4</octave>
        </pitch>
        <duration>2</duration>
      </note>
      <?app hint?>
    </measure>
  </part>
  <part id="P2">
    <measure number="1" width="90">
      <attributes>
        <divisions>1</divisions>
        <time>
          <beats>2</beats>
          <beat-type>4</beat-type>
        </time>
        <clef>
          <sign>F</sign>
        </clef>
      </attributes>
      <direction>
        <direction-type>
          <words font-family="A &quot;B&quot;">p</words>
        </direction-type>
      </direction>
      <note>
        <rest/>
        <duration>2</duration>
      </note>
    </measure>
  </part>
</score-partwise>)"));
}

// Compact view of one split part's measure: notes as step + duration, moves, clefs, words.
std::vector<std::string> staffEvents(const std::string& text, std::string_view partId) {
  std::vector<std::string> events;
  std::optional<Document> doc = parseDocument(text);
  if (!doc) return {"unparsable"};
  for (const Node& part : doc->root.children) {
    if (part.name != "part" || part.attributes.empty() || part.attributes[0].value != partId) {
      continue;
    }
    for (const Node& c : part.children.at(0).children) {
      if (c.name == "note") {
        std::string step = c.child("rest") ? "r" : c.child("pitch")->childText("step");
        events.push_back((c.child("chord") ? "+" : "") + step +
                         (c.child("grace") ? "g" : c.childText("duration")));
      } else if (c.name == "backup" || c.name == "forward") {
        events.push_back(c.name.substr(0, 1) + c.childText("duration"));
      } else if (c.name == "direction") {
        events.push_back("dir");
      } else if (c.name == "attributes") {
        for (const Node& clef : c.children) {
          if (clef.name == "clef") events.push_back("clef" + clef.childText("sign"));
        }
      }
    }
  }
  return events;
}

TEST(SplitScoreTest, PlacesEveryElementAtItsTimeInItsOwnStaff) {
  const std::string back1 = "<backup><duration>1</duration></backup>";
  const std::string back2 = "<backup><duration>2</duration></backup>";
  const std::string words = "<direction><direction-type><words>w</words></direction-type>";
  struct Case {
    const char* name;
    std::string body;
    std::vector<std::string> upper, lower;
  };
  const std::vector<Case> cases = {
      {"second voice in the upper staff, then the lower staff",
       note("C", 1, 1) + note("D", 1, 1) + back2 + note("E", 1, 2) + back2 + note("F", 2, 2),
       {"clefG", "C1", "D1", "b2", "E2"},
       {"clefF", "F2"}},
      {"upper staff silent at the measure's start",
       note("C", 2, 1) + note("D", 1, 1) + back2 + note("E", 2, 2),
       {"clefG", "f1", "D1"},
       {"clefF", "C1", "b1", "E2"}},
      {"chord spread over both staves",
       note("C", 1, 2) + note("G", 2, 2, "<chord/>") + note("E", 1, 2, "<chord/>"),
       {"clefG", "C2", "+E2"},
       {"clefF", "G2"}},
      {"direction for the lower staff after a backup",
       note("C", 1, 2) + back1 + words + "<staff>2</staff></direction>" + note("D", 2, 1),
       {"clefG", "C2"},
       {"clefF", "f1", "dir", "D1"}},
      {"clef change at the measure's end, written after the backup",
       note("C", 1, 2) + back2 + note("D", 2, 2) +
           "<attributes><clef><sign>F</sign><line>4</line></clef></attributes>",
       {"clefG", "C2", "clefF"},
       {"clefF", "D2"}},
      {"grace note, forward and unstaffed direction",
       "<note><grace/><pitch><step>C</step><octave>5</octave></pitch><staff>1</staff></note>" +
           note("D", 1, 1) + "<forward><duration>1</duration></forward>" + words + "</direction>" +
           back2 + note("E", 2, 2),
       {"clefG", "Cg", "D1", "f1", "dir"},
       {"clefF", "E2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SplitResult result = splitScore(pianoScore(c.body));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(staffEvents(result.text, "P1"), c.upper);
    EXPECT_EQ(staffEvents(result.text, "P2"), c.lower);
  }
}

TEST(SplitScoreTest, RefusesScoresTheMergeCannotRead) {
  const std::string time = "<time><beats>2</beats><beat-type>4</beat-type></time>";
  const std::string clef1 = "<clef number='1'><sign>G</sign><line>2</line></clef>";
  const std::string clef2 = "<clef number='2'><sign>F</sign><line>4</line></clef>";
  const std::string head = "<divisions>1</divisions><staves>2</staves>";
  struct Case {
    const char* name;
    std::string score;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"no time signature", pianoScore(note("C", 1, 2), head + clef1 + clef2), "no <time>"},
      {"no clef for the lower staff", pianoScore(note("C", 1, 2), head + time + clef1),
       "staff 2: first <attributes> has no <clef>"},
      {"clef the merge would not renumber",
       pianoScore(note("C", 1, 2), head + time + clef1 +
                                       "<clef number='2' after-barline='yes'><sign>F</sign>"
                                       "</clef>"),
       "<clef> with attributes"},
      {"divisions changing inside the measure",
       pianoScore(note("C", 1, 1) + "<attributes><divisions>2</divisions></attributes>"),
       "divisions change"},
      {"note on a third staff", pianoScore(note("C", 3, 2)), "staff 3 outside"},
      {"backup past the measure's start",
       pianoScore(note("C", 1, 1) + "<backup><duration>2</duration></backup>"), "<backup>"},
      {"unclosed element", pianoScore("<note>"), "malformed XML"},
      {"score-part without its part",
       "<score-partwise><part-list><score-part id='X'/></part-list></score-partwise>",
       "score-part X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SplitResult result = splitScore(c.score);
    EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
    EXPECT_EQ(result.text, "");
  }
}

NoteInfo noteInfo(std::string measure, std::string pitch, std::optional<std::string> duration,
                  bool chord, bool grace) {
  NoteInfo info;
  info.measure = std::move(measure);
  info.pitch = std::move(pitch);
  info.duration = std::move(duration);
  info.chord = chord;
  info.grace = grace;
  return info;
}

TEST(NotesByStaffTest, ReadsMergedLayoutWithUnindentedCommentsAndCrossStaffChords) {
  const std::string merged =
      "<score-partwise>\r\n\t<part id=\"P2\">\r\n<!--=== next copied upper staff 1: ===-->\r\n"
      "\t\t<measure number=\"7\">\r\n"
      "\t\t\t<note><pitch><step>F</step><alter>1</alter><octave>4</octave></pitch>"
      "<duration>2</duration><voice>1</voice><staff>1</staff></note>\r\n"
      "\t\t\t<note><chord/><unpitched><display-step>E</display-step>"
      "<display-octave>3</display-octave></unpitched><duration>2</duration><voice>3</voice>"
      "<staff>2</staff></note>\r\n"
      "\t\t\t<note><grace/><rest/><staff>2</staff></note>\r\n"
      "<!--=== above measure duration bottom staff is 2 ===-->\r\n"
      "\t\t</measure>\r\n\t</part>\r\n</score-partwise>\r\n";
  StaffNotes notes = notesByStaff(merged);
  ASSERT_EQ(notes.size(), 2u);
  ASSERT_EQ(notes[StaffKey("P2", 1)].size(), 1u);
  EXPECT_EQ(notes[StaffKey("P2", 1)][0], (noteInfo("7", "F(1)4", "2", false, false)));
  ASSERT_EQ(notes[StaffKey("P2", 2)].size(), 2u);
  // The chord's first note in staff 2 starts that staff's chord, at the chord's onset.
  EXPECT_EQ(notes[StaffKey("P2", 2)][0], (noteInfo("7", "x:E3", "2", false, false)));
  EXPECT_EQ(notes[StaffKey("P2", 2)][0].voice, "3");
  EXPECT_EQ(notes[StaffKey("P2", 2)][1], (noteInfo("7", "rest", std::nullopt, false, true)));
  EXPECT_EQ(notes[StaffKey("P2", 2)][1].onset, 2);
  EXPECT_TRUE(notesByStaff("<score-partwise><part>").empty());
}

// Corpus scores with the groups their split must yield (from each part's staff count).
constexpr const char* kPiano = "STAVESUP=1,PART=2,INSTR=,1,2,/";
constexpr const char* kSecondPiano = "STAVESUP=1,PART=3,INSTR=,2,3,/";
constexpr std::pair<const char*, const char*> kCorpus[] = {
    {"w3c-musicxml/tutorial-chopin-prelude.musicxml", kPiano},
    {"w3c-musicxml/tutorial-apres-un-reve.musicxml", kSecondPiano},
    {"w3c-musicxml/tutorial-hello-world.musicxml", ""},
    {"w3c-musicxml/tutorial-chord-symbols.musicxml", ""},
    {"w3c-musicxml/tutorial-percussion.musicxml", ""},
    {"w3c-musicxml/tutorial-tablature.musicxml", ""},
    {"opensheetmusicdisplay/CharlesGounod_Meditation.xml",
     "STAVESUP=1,PART=5,INSTR=,4,5,/STAVESUP=1,PART=7,INSTR=,6,7,/"},
    {"opensheetmusicdisplay/Gretchaninov_A_Boring_Story.musicxml", kPiano},
    {"opensheetmusicdisplay/JohannSebastianBach_PraeludiumInCDur_BWV846_1.xml", kPiano},
    {"opensheetmusicdisplay/Land_der_Berge.musicxml", kSecondPiano},
    {"opensheetmusicdisplay/MuzioClementi_SonatinaOpus36No1_Part1.xml", ""},
    {"opensheetmusicdisplay/OSMD_Function_Test_Drums_one_line_snare_plus_piano.musicxml", kPiano},
    {"opensheetmusicdisplay/OSMD_function_test_in-measure-clefs.xml", kPiano},
    {"opensheetmusicdisplay/Schumann_The_Wild_Horseman_Op._68_No._8.xml", kPiano},
    {"opensheetmusicdisplay/ScottJoplin_EliteSyncopations.xml", kPiano},
    {"opensheetmusicdisplay/Test_Auto_Multirest_2.musicxml", kSecondPiano},
    {"opensheetmusicdisplay/test_clef_change_on_invisible_note_norma_fantasy_1605.musicxml",
     "STAVESUP=2,PART=3,INSTR=,1,2,3,/"},
    {"opensheetmusicdisplay/test_clef_measure_end_backup_nodes_Sibelius.musicxml", kPiano},
    {"opensheetmusicdisplay/test_cross_stave_16ths_ghost_notes_simple.musicxml", kPiano},
};

std::vector<const Node*> measuresOf(const Document& doc, std::string_view partId) {
  std::vector<const Node*> measures;
  for (const Node& part : doc.root.children) {
    if (part.name != "part" || part.attributes.at(0).value != partId) continue;
    for (const Node& m : part.children) {
      if (m.name == "measure") measures.push_back(&m);
    }
  }
  return measures;
}

std::size_t countOf(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

TEST(SplitScoreTest, SplitsEveryCorpusScoreKeepingEachStaffsNotes) {
  if (!std::filesystem::exists(QB_CORPUS_DIR)) GTEST_SKIP() << "no corpus at " << QB_CORPUS_DIR;
  for (const auto& [file, groups] : kCorpus) {
    SCOPED_TRACE(file);
    std::string source = readFile(std::string(QB_CORPUS_DIR) + "/" + file);
    ASSERT_FALSE(source.empty());
    SplitResult result = splitScore(source);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.groups, groups);
    ASSERT_TRUE(result.text.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"));
    // The layout is a fixed point: every line already stands as the converter writes it.
    EXPECT_EQ(toConverterLayout(result.text), result.text);
    EXPECT_EQ(splitScore(result.text).text, result.text);
    // The merge reads each staff's measures up to their own end lines, empty ones included.
    EXPECT_EQ(countOf(result.text, "\n\t\t<measure number="),
              countOf(result.text, "\n\t\t</measure>\r\n"));

    std::optional<Document> original = parseDocument(source);
    std::optional<Document> split = parseDocument(result.text);
    ASSERT_TRUE(original && split);
    StaffNotes before = notesByStaff(source);
    StaffNotes after = notesByStaff(result.text);
    std::size_t notesSeen = 0;
    for (const PartMapping& part : result.parts) {
      for (int s = 1; s <= part.staffCount; ++s) {
        std::string newId = "P";
        newId += std::to_string(part.newNumbers.at(static_cast<std::size_t>(s - 1)));
        SCOPED_TRACE(part.originalId + " staff " + std::to_string(s) + " -> " + newId);
        const std::vector<NoteInfo>& want = before[{part.originalId, s}];
        const std::vector<NoteInfo>& got = after[{newId, 1}];
        EXPECT_EQ(got, want);
        for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i) {
          ASSERT_EQ(got[i].onset, want[i].onset) << "note " << i << ": " << want[i];
        }
        notesSeen += got.size();
        std::vector<const Node*> measures = measuresOf(*split, newId);
        std::vector<const Node*> originals = measuresOf(*original, part.originalId);
        ASSERT_EQ(measures.size(), originals.size());
        for (std::size_t m = 0; m < measures.size(); ++m) {
          EXPECT_EQ(measures[m]->attributes.at(0).value, originals[m]->attributes.at(0).value);
          for (const Node& c : measures[m]->children) {
            EXPECT_TRUE(part.staffCount == 1 || c.child("staff") == nullptr) << c.name;
          }
        }
      }
    }
    EXPECT_GT(notesSeen, 0u);
  }
}

}  // namespace
}  // namespace testsupport
