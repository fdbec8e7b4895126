#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/line_shape.h"
#include "platform/file_table.h"

// What a merge must know of its group before it writes a line: the members' divisions, voices and
// first key, time and staff details. The score pass learns them while it writes each member's work
// file, so no work file is read twice.
namespace merge {

// The lines of one block (a key, a time, staff details) as a part wrote them; empty: none.
using Block = std::vector<std::string>;

// True when two blocks hold the same lines, leading tabs aside.
bool sameBlock(const Block& a, const Block& b, char tab);

// The facts of one member part, learned line by line.
class MemberFacts : public platform::LineWatcher {
 public:
  // `voices`: whether its voices are needed (a bottom part's never are: no staff lies below it).
  MemberFacts(char tab, bool voices) : LineWatcher(tab), voices_(voices) {}
  void see(std::string_view line) override;

  std::vector<std::int32_t> divisions;  // each value a divisions line gives, once
  std::int32_t startDivisions = 0;      // the last value met up to the first attributes' end
  std::int32_t highestVoice = 0;        // never below 0
  Block key, time, staffDetails;        // the first of each in the first attributes

 private:
  enum class Attributes { Before, Inside, After };
  enum class Gathering { None, Key, Time, Details };
  void divisionsLine(std::string_view rest);
  void voiceLine(std::string_view rest);
  void blockLine(const base::LineShape& shape, std::string_view line);
  Block& gathered();
  void narrow();

  bool voices_;
  Attributes first_ = Attributes::Before;
  Gathering open_ = Gathering::None;  // the block whose lines are being gathered
};

// A group's facts, its members in staff order, and what they decide for the merged part. Empty
// (no members) for the described merge, which uses none of them.
struct GroupFacts {
  GroupFacts() = default;
  // Reports ArithmeticOverflow when the divisions' common multiple or a voice offset leaves 32
  // bits.
  GroupFacts(std::vector<MemberFacts> staves, char tab);

  // The factor by which a staff whose divisions are `d` scales its durations and offsets: the
  // common divisions over d, or 1 when the members agree (or d is unknown).
  std::int32_t scale(std::int32_t d) const { return divisions == 0 || d == 0 ? 1 : divisions / d; }

  std::vector<MemberFacts> members;
  std::int32_t divisions = 0;  // their least common multiple where the values differ; else 0
  std::vector<std::int32_t> voiceOffset;  // by staff from 0: the voices of the staves above
  bool keysDiffer = false, timesDiffer = false, detailsDiffer = false;
};

}  // namespace merge
