#pragma once

#include <bit>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/scan.h"

// How the converter lays a score out: one element per line, indented by one tab per nesting
// level (a part at one tab, a measure at two, its children at three, theirs at four). This is the
// one place that knows it: every rule asks a line's shape instead of searching the line for tabs.
namespace base {

struct LineShape {
  std::size_t depth = 0;  // the leading tabs: the nesting level
  std::string_view rest;  // the line after them

  // True when the line is `level` tabs followed by exactly `text`.
  bool is(std::size_t level, std::string_view text) const {
    return depth == level && rest.size() == text.size() &&
           std::char_traits<char>::compare(rest.data(), text.data(), text.size()) == 0;
  }
  // True when the text after the tabs opens the element `name`: "<" + name, then a blank, a tab,
  // ">", "/" or the line's end, so that <note> is never taken for <notehead>.
  bool opens(std::string_view name) const {
    if (rest.size() <= name.size() || rest[0] != '<') return false;
    for (std::size_t k = 0; k < name.size(); ++k) {
      if (rest[k + 1] != name[k]) return false;
    }
    if (rest.size() == name.size() + 1) return true;
    const char next = rest[name.size() + 1];
    return next == ' ' || next == '\t' || next == '>' || next == '/';
  }
  // True when the text after the tabs begins a tag that opens an element (not a closing tag, a
  // comment or a declaration).
  bool opensAny() const {
    return rest.size() >= 2 && rest[0] == '<' && rest[1] != '/' && rest[1] != '!' && rest[1] != '?';
  }
};

inline LineShape shapeOf(std::string_view line, char tab) {
  std::size_t depth = 0;
  while (depth < line.size() && line[depth] == tab) ++depth;
  return LineShape{depth, line.substr(depth)};
}

// The depth of a line with kScanSlack readable bytes behind it (a line in a file table's buffer,
// or one padded so): its tabs are counted sixteen at a time, the cost of one comparison.
inline std::size_t depthOfPadded(std::string_view line, char tab) {
  std::size_t depth = 0;
  for (;;) {
    const auto run =
        static_cast<std::size_t>(std::countr_one(matchMask16(line.data() + depth, tab)));
    depth += run;
    if (run < 16 || depth >= line.size()) break;
  }
  return depth < line.size() ? depth : line.size();  // the bytes behind the line mean nothing
}

// shapeOf for a line with kScanSlack readable bytes behind it.
inline LineShape shapeOfPadded(std::string_view line, char tab) {
  const std::size_t depth = depthOfPadded(line, tab);
  return LineShape{depth, std::string_view(line.data() + depth, line.size() - depth)};
}

// Appends the indentation of an element `depth` levels deep.
inline std::string& indent(std::string& out, std::size_t depth, char tab) {
  return out.append(depth, tab);
}

}  // namespace base
