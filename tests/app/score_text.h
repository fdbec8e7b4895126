#pragma once

#include <string>

namespace apptest {

// Appends one line in the converter's layout: `depth` tabs, the text, CR LF.
inline void addLine(std::string& s, int depth, const std::string& text) {
  s.append(static_cast<std::size_t>(depth), '\t');
  s += text;
  s += "\r\n";
}

// Appends a part with id "P" + `id` after an empty line: two measures of two voices behind a
// backup, attributes with a time signature and a plain clef in the first.
inline void addPart(std::string& s, const std::string& id, const char* clefSign) {
  const auto note = [&s](const char* step, int voice) {
    addLine(s, 3, "<note>");
    addLine(s, 4, "<pitch>");
    addLine(s, 5, std::string("<step>") + step + "</step>");
    addLine(s, 5, "<octave>4</octave>");
    addLine(s, 4, "</pitch>");
    addLine(s, 4, "<duration>2</duration>");
    addLine(s, 4, "<voice>" + std::to_string(voice) + "</voice>");
    addLine(s, 4, "<type>half</type>");
    addLine(s, 3, "</note>");
  };
  s += "\r\n";
  addLine(s, 1, "<part id=\"P" + id + "\">");
  for (int m = 1; m <= 2; ++m) {
    addLine(s, 2, "<measure number=\"" + std::to_string(m) + "\">");
    if (m == 1) {
      addLine(s, 3, "<attributes>");
      addLine(s, 4, "<divisions>1</divisions>");
      addLine(s, 4, "<time>");
      addLine(s, 5, "<beats>4</beats>");
      addLine(s, 5, "<beat-type>4</beat-type>");
      addLine(s, 4, "</time>");
      addLine(s, 4, "<clef>");
      addLine(s, 5, std::string("<sign>") + clefSign + "</sign>");
      addLine(s, 4, "</clef>");
      addLine(s, 3, "</attributes>");
    }
    note("C", 1);
    note("E", 1);
    addLine(s, 3, "<backup>");
    addLine(s, 4, "<duration>4</duration>");
    addLine(s, 3, "</backup>");
    note("G", 2);
    note("A", 2);
    addLine(s, 2, "</measure>");
  }
  addLine(s, 1, "</part>");
}

// The score-part element of part "P" + `id`, three lines.
inline void addScorePart(std::string& s, const std::string& id) {
  addLine(s, 2, "<score-part id=\"P" + id + "\">");
  addLine(s, 3, "<part-name>Part " + id + "</part-name>");
  addLine(s, 2, "</score-part>");
}

inline const char* kScoreStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<score-partwise version=\"4.0\">\r\n";

// A score of parts P1 to P`parts`, the last one in the bass clef.
inline std::string score(int parts) {
  std::string s = kScoreStart;
  addLine(s, 1, "<part-list>");
  for (int id = 1; id <= parts; ++id) addScorePart(s, std::to_string(id));
  addLine(s, 1, "</part-list>");
  for (int id = 1; id <= parts; ++id) addPart(s, std::to_string(id), id == parts ? "F" : "G");
  return s + "</score-partwise>\r\n";
}

}  // namespace apptest
