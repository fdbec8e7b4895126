#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/scripted_dialogs.h"

namespace mergetest {

// A block of lines indented by two spaces per level becomes the converter's layout, one tab per
// level; blank lines are dropped. "note PITCH DURATION vVOICE TYPE [chord] [sSTAFF]" (PITCH like
// C4, or rest) stands for a whole note element, with <staff> when sSTAFF is given.
inline std::vector<std::string> tabbed(std::string_view block) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; at < block.size(); at = end + 1) {
    end = std::min(block.find('\n', at), block.size());
    const std::string raw(block.substr(at, end - at));
    const std::size_t text = raw.find_first_not_of(' ');
    if (text == std::string::npos) continue;
    const std::string tabs(text / 2, '\t');
    if (raw.compare(text, 5, "note ") != 0) {
      lines.push_back(tabs + raw.substr(text));
      continue;
    }
    std::istringstream words(raw.substr(text + 5));
    std::string pitch, duration, voice, type, word;
    words >> pitch >> duration >> voice >> type;
    lines.push_back(tabs + "<note>");
    std::string staff;
    while (words >> word) {
      if (word == "chord") lines.push_back(tabs + "\t<chord/>");
      if (word[0] == 's') staff = word.substr(1);
    }
    if (pitch == "rest") {
      lines.push_back(tabs + "\t<rest/>");
    } else {
      lines.insert(lines.end(),
                   {tabs + "\t<pitch>", tabs + "\t\t<step>" + pitch.substr(0, 1) + "</step>",
                    tabs + "\t\t<octave>" + pitch.substr(1) + "</octave>", tabs + "\t</pitch>"});
    }
    lines.push_back(tabs + "\t<duration>" + duration + "</duration>");
    lines.push_back(tabs + "\t<voice>" + voice.substr(1) + "</voice>");
    lines.push_back(tabs + "\t<type>" + type + "</type>");
    if (!staff.empty()) lines.push_back(tabs + "\t<staff>" + staff + "</staff>");
    lines.push_back(tabs + "</note>");
  }
  return lines;
}

// Work-file bytes: each line and CR LF; with `gaps` an empty line after each, as a UTF-16 input
// leaves them.
inline std::string workFile(std::string_view block, bool gaps = false) {
  std::string bytes;
  for (const std::string& line : tabbed(block)) bytes += line + (gaps ? "\r\n\r\n" : "\r\n");
  return bytes;
}

// A part in the notation of tabbed(): the first measure opens with attributes (divisions 2, 4/4
// time, a clef of `sign`), then one body per measure, each body at measure-child depth (a leading
// line end and trailing blanks of a body are dropped).
inline std::string partBlock(std::string_view id, std::string_view sign,
                             const std::vector<std::string>& bodies) {
  std::string block = "  <part id=\"" + std::string(id) + "\">\n";
  for (std::size_t m = 0; m < bodies.size(); ++m) {
    block += "    <measure number=\"" + std::to_string(m + 1) + "\">\n";
    if (m == 0) {
      block += "      <attributes>\n        <divisions>2</divisions>\n        <time>\n";
      block += "          <beats>4</beats>\n          <beat-type>4</beat-type>\n        </time>\n";
      block += "        <clef>\n          <sign>" + std::string(sign) + "</sign>\n";
      block += "        </clef>\n      </attributes>\n";
    }
    std::string_view body = bodies[m];
    if (body.starts_with('\n')) body.remove_prefix(1);
    block += std::string(body.substr(0, body.find_last_not_of(' ') + 1)) + "    </measure>\n";
  }
  return block + "  </part>\n";
}

// A run whose UTF-8 output goes to OUT.XML.
struct MergeRun {
  MergeRun() {
    run.ctx.state.encodingName = "UTF-8";
    run.ctx.state.outputFileNo = run.ctx.files.freeFile();
    EXPECT_TRUE(run.ctx.files.open(run.ctx.state.outputFileNo, "OUT.XML", platform::Mode::TextOut));
  }
  // The lines written so far; closes the output.
  std::vector<std::string> output() {
    EXPECT_TRUE(run.ctx.files.close(run.ctx.state.outputFileNo));
    const std::string bytes = run.fs.get("OUT.XML");
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
      lines.push_back(bytes.substr(at, end - at));
    }
    return lines;
  }
  // True while a file number up to 16 is open; after output() only work files can be.
  bool anyOpen() const {
    for (platform::FileNo no = 1; no <= 16; ++no) {
      if (run.ctx.files.isOpen(no)) return true;
    }
    return false;
  }
  testsupport::TestRun run;
};

// Names the first differing line, which a whole-vector dump of a long part would hide.
inline void expectLines(const std::vector<std::string>& actual,
                        const std::vector<std::string>& expected) {
  for (std::size_t i = 0; i < actual.size() && i < expected.size(); ++i) {
    if (actual[i] != expected[i]) {
      ADD_FAILURE() << "line " << i + 1 << ": got " << testing::PrintToString(actual[i])
                    << ", expected " << testing::PrintToString(expected[i]);
      return;
    }
  }
  EXPECT_EQ(actual.size(), expected.size()) << "lines";
}

}  // namespace mergetest
