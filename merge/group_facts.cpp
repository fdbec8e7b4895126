#include "merge/group_facts.h"

#include <algorithm>
#include <numeric>

#include "base/checked.h"
#include "base/text.h"
#include "merge/line_rules.h"

namespace merge {

bool sameBlock(const Block& a, const Block& b, char tab) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [tab](const std::string& x, const std::string& y) {
                      return base::shapeOf(x, tab).rest == base::shapeOf(y, tab).rest;
                    });
}

void MemberFacts::see(std::string_view line) {
  const base::LineShape shape = base::shapeOfPadded(line, tab_);
  const std::string_view rest = shape.rest;
  // Past the first attributes only voices and divisions matter (the copy shows no other line).
  if (first_ == Attributes::After) {
    if (rest.size() < 8) return;
    if (rest[1] == 'v' && shape.depth >= 4) return voiceLine(rest);
    if (rest[2] == 'i') return divisionsLine(rest);
    return;
  }
  if (open_ != Gathering::None) return blockLine(shape, line);
  if (rest.size() < 2 || rest[0] != '<') return;
  switch (rest[1]) {
    case 'v':
      if (shape.depth >= 4 && voices_) voiceLine(rest);
      return;
    case 'd':
      return divisionsLine(rest);
    case 'a':
      if (first_ == Attributes::Before && shape.opens("attributes")) {
        first_ = rest.ends_with("/>") || base::contains(rest, "</attributes>") ? Attributes::After
                                                                               : Attributes::Inside;
      }
      return;
    case '/':
      if (first_ == Attributes::Inside && rest.starts_with("</attributes>")) {
        first_ = Attributes::After;
        narrow();
      }
      return;
    default:
      if (first_ == Attributes::Inside) blockLine(shape, line);
      return;
  }
}

// Past its first attributes a part shows only voices (an upper part's) and divisions: lines of at
// least four tabs, "<voice>", a digit and "</voice>", or "<divisions>", a digit and "</divisions>".
void MemberFacts::narrow() {
  if (voices_) return narrowTo("vo", "di");
  narrowTo("di", "di");
}

Block& MemberFacts::gathered() {
  return open_ == Gathering::Key ? key : open_ == Gathering::Time ? time : staffDetails;
}

// A key, time or staff details of the first attributes: the first of each kind is kept, from its
// opening line through the line that closes it.
void MemberFacts::blockLine(const base::LineShape& shape, std::string_view line) {
  static constexpr std::string_view kClosing[] = {"", "</key>", "</time>", "</staff-details>"};
  if (open_ == Gathering::None) {
    open_ = shape.opens("key")             ? Gathering::Key
            : shape.opens("time")          ? Gathering::Time
            : shape.opens("staff-details") ? Gathering::Details
                                           : Gathering::None;
    if (open_ == Gathering::None) return;
    if (!gathered().empty()) {
      open_ = Gathering::None;
      return;
    }
  }
  if (line.empty()) return;
  gathered().emplace_back(line);
  const bool alone = gathered().size() == 1 && shape.rest.ends_with("/>");
  if (alone || base::contains(line, kClosing[static_cast<int>(open_)])) open_ = Gathering::None;
}

void MemberFacts::divisionsLine(std::string_view rest) {
  std::string_view digits;
  if (!plainNumber(rest, "<divisions>", "</divisions>", false, digits)) return;
  const std::int32_t value = base::digitsValue32(digits);
  if (value == 0) return;  // no divisions to scale by
  if (first_ != Attributes::After) startDivisions = value;
  if (std::find(divisions.begin(), divisions.end(), value) == divisions.end()) {
    divisions.push_back(value);
  }
}

// Read as the voice rule reads a voice; a value beyond 32 bits cannot be any staff's.
void MemberFacts::voiceLine(std::string_view rest) {
  if (!rest.starts_with("<voice>")) return;
  // Nearly every voice is one digit, and most are no higher than the highest already met.
  if (rest.size() == 16 && rest[7] >= '0' && rest[7] <= '9' && rest[8] == '<') {
    highestVoice = std::max(highestVoice, std::int32_t{rest[7] - '0'});
    return;
  }
  const double value = base::leadingNumber(rest.substr(7));
  if (!(value > -2147483648.5 && value < 2147483647.5)) return;
  highestVoice = std::max(highestVoice, base::roundedInt32(value));
}

GroupFacts::GroupFacts(std::vector<MemberFacts> staves, char tab) : members(std::move(staves)) {
  std::vector<std::int32_t> values;
  for (const MemberFacts& m : members) {
    for (const std::int32_t d : m.divisions) {
      if (std::find(values.begin(), values.end(), d) == values.end()) values.push_back(d);
    }
  }
  if (values.size() > 1) {
    std::int64_t multiple = 1;
    for (const std::int32_t d : values) {
      multiple = base::checkedNarrow<std::int32_t>(multiple / std::gcd(multiple, d) * d);
    }
    divisions = static_cast<std::int32_t>(multiple);
  }
  voiceOffset.assign(members.size(), 0);
  for (std::size_t s = 1; s < members.size(); ++s) {
    voiceOffset[s] = base::add32(voiceOffset[s - 1], members[s - 1].highestVoice);
  }
  for (const MemberFacts& m : members) {
    keysDiffer = keysDiffer || !sameBlock(m.key, members.front().key, tab);
    timesDiffer = timesDiffer || !sameBlock(m.time, members.front().time, tab);
    detailsDiffer = detailsDiffer || !sameBlock(m.staffDetails, members.front().staffDetails, tab);
  }
}

}  // namespace merge
