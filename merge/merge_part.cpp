#include "merge/merge_part.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/checked.h"
#include "base/inline.h"
#include "base/line_shape.h"
#include "base/scan.h"
#include "base/text.h"
#include "merge/group_facts.h"
#include "merge/line_rules.h"
#include "merge/work_files.h"
#include "xmlio/line_writer.h"

namespace merge {
namespace {

using platform::FileNo;

// The markers the line rules look for anywhere in a line. Each holds a "<" and is looked for only
// where the line has one, by the byte after it: what a search for each in turn would find, in one
// pass over the line.
enum Marker : unsigned {
  kComment = 1u << 0,       // a tab and "<!"
  kMeasureStart = 1u << 1,  // two tabs and "<measure number="
  kDuration = 1u << 2,      // "<duration>"
  kStaffEnd = 1u << 3,      // "</note>" or "</direction>"
  kVoice = 1u << 4,         // four tabs and "<voice>"
};

// `tab`: the run's tab character, which indents the markers that have one.
QB_ALWAYS_INLINE unsigned markersIn(std::string_view line, char tab) {
  const auto tabsBefore = [line, tab](std::size_t at, std::size_t tabs) {
    if (at < tabs) return false;
    for (std::size_t k = 1; k <= tabs; ++k) {
      if (line[at - k] != tab) return false;
    }
    return true;
  };
  unsigned found = 0;
  // Sixteen bytes at a time, the last ones past the line's end too (base::kScanSlack): lines come
  // from the file table's buffer or the merge's own padded line.
  for (std::size_t from = 0; from < line.size(); from += 16) {
    const std::size_t count = std::min<std::size_t>(16, line.size() - from);
    for (unsigned opens = base::matchMask16(line.data() + from, '<') & ((1u << count) - 1);
         opens != 0; opens &= opens - 1) {
      const std::size_t at = from + static_cast<std::size_t>(std::countr_zero(opens));
      if (at + 1 == line.size()) break;
      const std::string_view rest = line.substr(at);
      switch (rest[1]) {
        case '!':
          if (tabsBefore(at, 1)) found |= kComment;
          break;
        case 'm':
          if (tabsBefore(at, 2) && rest.starts_with("<measure number=")) found |= kMeasureStart;
          break;
        case 'd':
          if (rest.starts_with("<duration>")) found |= kDuration;
          break;
        case '/':
          if (rest.starts_with("</note>") || rest.starts_with("</direction>")) found |= kStaffEnd;
          break;
        case 'v':
          if (tabsBefore(at, 4) && rest.starts_with("<voice>")) found |= kVoice;
          break;
        default:
          break;
      }
    }
  }
  return found;
}

// A staff line, looked at once: its shape, the byte after the "<" it begins with ('\0' when it
// begins with none: text, or an empty line) and, for the rules that search lines for them, the
// markers it holds.
struct Line {
  std::string_view text;
  base::LineShape shape;
  unsigned markers = 0;
  char tag = '\0';
  // True when it begins with a tag that opens an element.
  bool opens() const { return tag != '\0' && tag != '/' && tag != '!' && tag != '?'; }
};

struct Staff {
  std::string name;  // of its work file
  FileNo file = 0;
  std::int32_t total = 0;  // duration of the current measure so far
};

enum class StageEnd { None, Measure, Part };

// What a duration belongs to.
enum class Element { None, Note, Backup, Forward };

// The machinery both rule sets share: the group's work files, read one measure of each staff in
// turn, and the lines the merge inserts. A staff's place in the group counts from 1, the top; the
// last is the bottom staff.
class GroupMerge {
 public:
  GroupMerge(run::Context& ctx, const std::string& groupParts);
  void openStaves();
  template <class Rules>
  void mergeMeasures(Rules& rules);
  void cleanUp();

  std::size_t staves() const { return n_; }
  Staff& staff(std::size_t place) { return staves_[place - 1]; }
  const run::RunState& state() const { return ctx_.state; }
  void write(std::string_view line) { xmlio::writeXML(ctx_, line); }
  // A staff's closing line: the bottom staff's is written and ends the merge, an upper staff's
  // only its stage.
  StageEnd endPart(std::size_t place, std::string_view line);
  // A staff's measure line: the comment that opens its copy; only staff 1's line is kept, the
  // others would open a second measure.
  void startMeasure(std::size_t place, std::string_view line);
  // An upper staff's measure ends in a backup to the measure's start (with `zeroBackup` false,
  // none where it already stands there); the bottom staff's ends the merged measure.
  void endUpperMeasure(std::size_t place, bool zeroBackup = true);
  void endBottomMeasure(std::string_view line);
  // Reports upper staves that ended their part while the bottom staff goes on.
  void checkSameMeasures();
  [[noreturn]] void reportNegative(std::size_t place);
  // The <staff> line of `number`, made again only when the number changes.
  const std::string& staffLine(std::int64_t number);

 private:
  template <class Rules>
  StageEnd runStage(Rules& rules, std::size_t place);
  template <bool kMarkers>
  QB_ALWAYS_INLINE Line nextLine(Staff& staff);
  std::string& startLine(std::size_t depth);
  [[noreturn]] void reportMismatch();

  run::Context& ctx_;
  const std::string& groupParts_;
  std::vector<Staff> staves_;
  std::size_t n_ = 0;
  char tab_;
  std::string spill_;  // a staff line that spans two blocks of its work file
  std::string built_;  // lines made here, reused so that no line costs an allocation
  std::string staffLine_;
  std::int64_t staffLineNo_ = 0;  // the number staffLine_ holds; 0: none yet
  // What the upper staves did in the current pass, to tell staves with different measures apart.
  bool upperClosed_ = false;
  bool upperCopied_ = false;
};

GroupMerge::GroupMerge(run::Context& ctx, const std::string& groupParts)
    : ctx_(ctx), groupParts_(groupParts), tab_(ctx.state.tabChar.front()) {
  std::vector<std::int16_t> numbers;
  std::string_view rest = groupParts;
  while (!rest.empty()) {
    numbers.push_back(takePartNumber(rest));
    if (!rest.empty()) rest.remove_prefix(1);
  }
  if (numbers.empty()) run::reportAndEnd(ctx, "Programming error, a group without parts");
  for (std::size_t k = 0; k + 1 < numbers.size(); ++k) {
    staves_.push_back(Staff{workFileName(std::to_string(numbers[k]))});
  }
  staves_.push_back(Staff{std::string(kBottomWorkFile)});
  n_ = staves_.size();
}

const std::string& GroupMerge::staffLine(std::int64_t number) {
  if (staffLineNo_ != number) {
    appendNumber(startLine(4).append("<staff>"), number);
    staffLine_.assign(built_.append("</staff>"));
    staffLineNo_ = number;
  }
  return staffLine_;
}

std::string& GroupMerge::startLine(std::size_t depth) {
  built_.clear();
  return base::indent(built_, depth, tab_);
}

// Each staff's file is left just after its first attributes: an upper part's end at a line
// that is three tabs and "</attributes>", the bottom part's at a line that contains them.
void GroupMerge::openStaves() {
  const auto skip = [](std::string_view) {};
  std::string line;
  const std::string attributesEnd = startLine(3).append("</attributes>");
  for (Staff& staff : staves_) {
    const bool bottom = &staff == &staves_.back();
    staff.file =
        bottom ? openWorkFile(ctx_, staff.name, "Failed to open NEW workfile for input.", true)
               : openWorkFile(ctx_, staff.name);
    readThrough(ctx_, staff.file, staff.name, attributesEnd, !bottom, line, skip);
  }
}

template <class Rules>
void GroupMerge::mergeMeasures(Rules& rules) {
  const std::size_t n = staves();
  for (;;) {
    upperClosed_ = false;
    upperCopied_ = false;
    for (std::size_t place = 1; place < n; ++place) {
      rules.enterStage(place);
      (runStage(rules, place) == StageEnd::Part ? upperClosed_ : upperCopied_) = true;
    }
    rules.enterStage(n);
    if (runStage(rules, n) == StageEnd::Part) return;
  }
}

template <class Rules>
StageEnd GroupMerge::runStage(Rules& rules, std::size_t place) {
  for (Staff& staff = this->staff(place);;) {
    const StageEnd end = rules.take(place, nextLine<Rules::kMarkers>(staff));
    if (end != StageEnd::None) return end;
  }
}

void GroupMerge::cleanUp() {
  for (const Staff& staff : staves_) {
    static_cast<void>(ctx_.files.close(staff.file));
    static_cast<void>(ctx_.fileSystem.remove(staff.name));
  }
}

// The next line of a staff's work file, viewed where it lies until the next read; its end, or a
// failure to read, ends the run.
template <bool kMarkers>
QB_ALWAYS_INLINE Line GroupMerge::nextLine(Staff& staff) {
  ctx_.files.clearError();
  std::string_view line;
  switch (ctx_.files.readLineView(staff.file, line, spill_)) {
    case platform::ReadStatus::Ok: {
      // A line gathered from two blocks gets the room behind it that the scan kernel reads.
      if (line.data() == spill_.data()) {
        const std::size_t size = spill_.size();
        spill_.append(base::kScanSlack, '\0');
        line = std::string_view(spill_).substr(0, size);
      }
      const base::LineShape shape = base::shapeOfPadded(line, tab_);
      const char tag = shape.rest.size() >= 2 && shape.rest[0] == '<' ? shape.rest[1] : '\0';
      return Line{line, shape, kMarkers ? markersIn(line, tab_) : 0u, tag};
    }
    case platform::ReadStatus::End:
      run::reportAndEnd(ctx_, "Work file " + staff.name + " of the parts " + groupParts_ +
                                  " ended before </part>. Run aborted");
    case platform::ReadStatus::Failed:
      break;
  }
  reportReadFailure(ctx_, staff.name);
}

StageEnd GroupMerge::endPart(std::size_t place, std::string_view line) {
  if (place < staves()) return StageEnd::Part;
  if (upperCopied_) reportMismatch();
  write(line);
  return StageEnd::Part;
}

void GroupMerge::startMeasure(std::size_t place, std::string_view line) {
  if (place == staves()) {
    if (upperClosed_) reportMismatch();
    write("<!--=== next copied bottom staff measure ===-->");
  } else {
    std::string& comment = built_.assign("<!--=== next copied upper staff ");
    appendNumber(comment, static_cast<std::int64_t>(place));
    write(comment.append(": ===-->"));
  }
  staff(place).total = 0;
  if (place == 1) {
    ctx_.process.processEvents();
    write(line);
  }
}

void GroupMerge::endUpperMeasure(std::size_t place, bool zeroBackup) {
  const std::int32_t total = staff(place).total;
  if (total != 0 || zeroBackup) {
    write(startLine(3).append("<backup>"));
    appendNumber(startLine(4).append("<duration>"), total);
    write(built_.append("</duration>"));
    write(startLine(3).append("</backup>"));
  }
  std::string& comment = built_.assign("<!--=== above measure duration");
  appendNumber(comment, static_cast<std::int64_t>(place));
  appendNumber(comment.append(" is "), total);
  write(comment.append(" ===-->"));
}

void GroupMerge::checkSameMeasures() {
  if (upperClosed_) reportMismatch();
}

void GroupMerge::endBottomMeasure(std::string_view line) {
  checkSameMeasures();
  write(line);
  std::string& comment = built_.assign("<!--=== above measure duration bottom staff is ");
  appendNumber(comment, staves_.back().total);
  write(comment.append(" ===-->"));
}

void GroupMerge::reportNegative(std::size_t place) {
  const std::string total = std::to_string(staff(place).total);
  if (place == staves()) run::reportAndEnd(ctx_, "Programming error, dur = " + total);
  if (place == 1) run::reportAndEnd(ctx_, "Programming error, dur1 = " + total);
  run::reportAndEnd(ctx_, "Programming error, dur(" + std::to_string(place) + ") = " + total);
}

void GroupMerge::reportMismatch() {
  run::reportAndEnd(ctx_, "The parts " + groupParts_ +
                              " of one group do not have the same measures. Run aborted");
}

// The value of a duration line as the duration rule reads it: the leading number of the text
// after its first "<duration>", less the line's last 11 characters.
double durationValue(std::string_view line) {
  constexpr std::string_view kOpen = "<duration>", kClose = "</duration>";
  std::string_view text = line.substr(line.find(kOpen) + kOpen.size());
  text = text.size() < kClose.size() ? std::string_view{}
                                     : text.substr(0, text.size() - kClose.size());
  return base::leadingNumber(text);
}

// The value of a voice line as the voice rule reads it, from the text after its first "<voice>".
std::int32_t voiceValue(std::string_view line) {
  constexpr std::string_view kOpen = "<voice>";
  return base::roundedInt32(base::leadingNumber(line.substr(line.find(kOpen) + kOpen.size())));
}

// The line rules as the converter's callers expect their bytes: each staff's lines in turn, a
// forward counted as the last note or backup opened before it, the voices of a lower staff raised
// by the highest voice of the staves above it in the same measure.
class DescribedRules {
 public:
  static constexpr bool kMarkers = true;  // the described rules search lines for markers
  explicit DescribedRules(GroupMerge& merge) : m_(merge) {}

  void enterStage(std::size_t place) {
    if (place == 1 && m_.staves() > 1) return;
    chord_ = false;
    voiceOffset_ = base::add32(voiceOffset_, highestVoice_);
    // Each lower staff starts above every voice used by the staves before it in this measure.
    if (place < m_.staves()) highestVoice_ = 0;
  }

  QB_ALWAYS_INLINE StageEnd take(std::size_t place, const Line& line) {
    const bool bottom = place == m_.staves();
    const base::LineShape& shape = line.shape;
    if (shape.is(1, "</part>")) return m_.endPart(place, line.text);
    if (line.text.empty()) {  // every other line, when the score was UTF-16
      m_.write(line.text);
      return StageEnd::None;
    }
    if (bottom && (line.markers & kComment) != 0) return StageEnd::None;
    if ((line.markers & kMeasureStart) != 0) {
      if (place == 1) staffNo_ = 1;
      m_.startMeasure(place, line.text);
      return StageEnd::None;
    }
    std::string_view written = line.text;
    if (shape.is(3, "<note>")) {
      kind_ = Element::Note;
    } else if (shape.is(3, "<backup>")) {
      kind_ = Element::Backup;
    } else if (shape.is(4, "<clef>")) {
      written =
          clefLine(changed_, bottom ? static_cast<std::int64_t>(place) : staffNo_, m_.state());
    } else if ((line.markers & kDuration) != 0) {
      countDuration(place, line.text);
    } else if ((line.markers & kStaffEnd) != 0) {
      m_.write(m_.staffLine(staffNo_));
    } else if (shape.is(2, "</measure>")) {
      endMeasure(place, line.text);
      return StageEnd::Measure;
    } else if (shape.is(4, "<chord/>")) {
      chord_ = true;
    } else if ((line.markers & kVoice) != 0) {
      written = shiftVoice(place, line.text);
    }
    m_.write(written);
    return StageEnd::None;
  }

 private:
  void endMeasure(std::size_t place, std::string_view line) {
    if (place == m_.staves()) m_.checkSameMeasures();
    staffNo_ = base::add16(staffNo_, 1);
    if (place < m_.staves()) return m_.endUpperMeasure(place);
    m_.endBottomMeasure(line);
    voiceOffset_ = 0;
    highestVoice_ = 0;
  }

  void countDuration(std::size_t place, std::string_view line) {
    // A chord note sounds with the note before it, so its duration does not move the measure on.
    if (chord_) {
      chord_ = false;
      return;
    }
    const double value = durationValue(line);
    std::int32_t& total = m_.staff(place).total;
    if (kind_ == Element::Note) {
      total = base::roundedInt32(total + value);
      return;
    }
    total = base::roundedInt32(total - value);
    if (total < 0) m_.reportNegative(place);
  }

  std::string_view shiftVoice(std::size_t place, std::string_view line) {
    const std::int32_t v = voiceValue(line);
    if (place < m_.staves()) highestVoice_ = std::max(highestVoice_, v);
    // Upper staff 1 keeps its voices; the staves below move past the voices used above them.
    if (place == 1 && m_.staves() > 1) return line;
    changed_.clear();
    base::indent(changed_, 4, m_.state().tabChar.front()).append("<voice>");
    appendNumber(changed_, base::add32(v, voiceOffset_));
    return changed_.append("</voice>");
  }

  GroupMerge& m_;
  std::string changed_;           // a staff line rewritten before it is written
  Element kind_ = Element::None;  // the last note or backup opened; never reset
  std::int16_t staffNo_ = 1;
  bool chord_ = false;
  std::int32_t highestVoice_ = 0;
  std::int32_t voiceOffset_ = 0;
};

// An element that gets a <staff> line: a note, a direction, or a harmony (a chord symbol, which
// would otherwise stand over staff 1 whichever staff it belongs to).
enum class Holder { None, Note, Direction, Harmony };

// True when the child that `line` opens comes after <staff> in the schema's order for `holder`:
// in a note beam, notations, lyric, play and listen; in a direction sound and listening.
bool followsStaff(const Line& line, Holder holder) {
  const bool note = holder == Holder::Note;
  const base::LineShape& shape = line.shape;
  switch (line.tag) {
    case 'b':
      return note && shape.opens("beam");
    case 'n':
      return note && shape.opens("notations");
    case 'p':
      return note && shape.opens("play");
    case 'l':
      return note ? shape.opens("lyric") || shape.opens("listen")
                  : holder == Holder::Direction && shape.opens("listening");
    case 's':
      return holder == Holder::Direction && shape.opens("sound");
    default:
      return false;
  }
}

// What the byte after a line's first "<" may make of the line, before it is looked at closer: most
// lines of a note or a direction are none of these.
enum TagClass : unsigned char {
  kAfterNoteStaff = 1u << 0,       // beam, notations, lyric, listen, play
  kAfterDirectionStaff = 1u << 1,  // sound, listening
};
constexpr std::array<unsigned char, 256> kTagClasses = [] {
  std::array<unsigned char, 256> classes{};
  for (const char c : std::string_view("bnlp"))
    classes[static_cast<unsigned char>(c)] |= kAfterNoteStaff;
  for (const char c : std::string_view("sl"))
    classes[static_cast<unsigned char>(c)] |= kAfterDirectionStaff;
  return classes;
}();

// By the byte after a line's first "<": the one or two bytes after it that begin an element the
// valid rules may change (voice; chord, clef; divisions; time; key; offset; staff details). 0xFF,
// which UTF-8 never holds, stands for none. <type>, <stem>, <step> and <dot/> pass at a glance.
constexpr std::array<std::uint16_t, 256> kChangingSeconds = [] {
  std::array<std::uint16_t, 256> seconds{};
  seconds.fill(0xFFFF);
  const auto set = [&](char tag, char second, char other) {
    seconds[static_cast<unsigned char>(tag)] = static_cast<std::uint16_t>(
        static_cast<unsigned char>(second) | static_cast<unsigned char>(other) << 8);
  };
  set('v', 'o', 'o');
  set('c', 'h', 'l');
  set('d', 'i', 'i');
  set('t', 'i', 'i');
  set('k', 'e', 'e');
  set('o', 'f', 'f');
  set('s', 't', 't');
  return seconds;
}();

// The value of signed digits, as a checked 32-bit number.
std::int64_t signedValue(std::string_view digits) {
  if (digits[0] == '-') return -std::int64_t{base::digitsValue32(digits.substr(1))};
  return base::digitsValue32(digits[0] == '+' ? digits.substr(1) : digits);
}

// Lines gathered from a barline or an attributes block until it is whole.
struct OpenBlock {
  enum class Side { Left, Middle, Right };
  bool open = false;
  Side side = Side::Right;
  bool held = false;       // an attributes block of a lower staff, written only when it closes
  std::int32_t total = 0;  // the staff's measure total where an attributes block opened
  Block lines;
};

bool holdsBlock(const std::vector<Block>& blocks, const Block& block) {
  return std::find(blocks.begin(), blocks.end(), block) != blocks.end();
}

// The line rules of QUILLBRAID_OUTPUT=valid: a result that XML readers accept and that reads as
// the same music as its parts. Durations count by the element that holds them, each staff keeps
// its divisions' meaning, keys, times, clefs and staff details say their staff where the staves
// differ, voices move by one offset per staff for the whole piece, barlines stand at the
// measure's edges once, and what the staves share at one moment is said once.
class ValidRules {
 public:
  static constexpr bool kMarkers = false;  // these rules ask a line's shape alone
  ValidRules(GroupMerge& merge, const GroupFacts& facts)
      : m_(merge), facts_(facts), st_(merge.state()), divisions_(merge.staves(), 0) {
    for (std::size_t k = 0; k < divisions_.size() && k < facts.members.size(); ++k) {
      divisions_[k] = facts.members[k].startDivisions;
    }
  }

  void enterStage(std::size_t) {
    kind_ = Element::None;
    chord_ = false;
    holder_ = Holder::None;
    staffPlaced_ = false;
    staffWatch_ = 0;
  }

  QB_ALWAYS_INLINE StageEnd take(std::size_t place, const Line& line) {
    if (barline_.open) [[unlikely]] {
      if (!endsBlockEarly(line)) return gatherBarline(place, line.text);
      writeAsStood(barline_);
    }
    // Most lines are children of a measure's children, and only a few of those change.
    if (line.shape.depth >= 4 && line.tag != '!') {
      emit(rewrite(place, line));
      return StageEnd::None;
    }
    return takeOther(place, line);
  }

 private:
  StageEnd takeOther(std::size_t place, const Line& line) {
    const base::LineShape& shape = line.shape;
    if (line.text.empty()) return StageEnd::None;
    if (shape.is(1, "</part>")) {
      writeAsStood(attributes_);
      return m_.endPart(place, line.text);
    }
    // The bottom staff's comments go, as the described merge drops them.
    if (place == m_.staves() && line.tag == '!' && shape.depth >= 1) return StageEnd::None;
    if (isMeasureStart(line)) return startMeasure(place, line.text);
    if (shape.is(2, "</measure>")) return endMeasure(place, line.text);
    if (shape.depth == 3 && holder_ == Holder::None && line.opens() && openChild(place, line)) {
      return StageEnd::None;
    }
    emit(rewrite(place, line));
    if (attributes_.open && shape.is(3, "</attributes>")) closeAttributes();
    return StageEnd::None;
  }

  static bool isMeasureStart(const Line& line) {
    return line.shape.depth == 2 && line.shape.opens("measure");
  }

  static bool endsBlockEarly(const Line& line) {
    return line.shape.is(1, "</part>") || isMeasureStart(line) || line.shape.is(2, "</measure>");
  }

  StageEnd startMeasure(std::size_t place, std::string_view line) {
    writeAsStood(attributes_);
    // A merged measure begins with staff 1's measure line.
    if (place == 1) {
      writtenBarlines_.clear();
      heldBarlines_.clear();
      writtenAttributes_.clear();
    }
    m_.startMeasure(place, line);
    return StageEnd::None;
  }

  StageEnd endMeasure(std::size_t place, std::string_view line) {
    writeAsStood(attributes_);
    if (place < m_.staves()) {
      // A backup of no duration is no backup the schema knows.
      m_.endUpperMeasure(place, false);
      return StageEnd::Measure;
    }
    m_.checkSameMeasures();
    // The upper staves' right barlines end the merged measure, each once.
    for (const Block& block : heldBarlines_) {
      if (holdsBlock(writtenBarlines_, block)) continue;
      for (const std::string& held : block) emit(held);
      writtenBarlines_.push_back(block);
    }
    heldBarlines_.clear();
    m_.endBottomMeasure(line);
    return StageEnd::Measure;
  }

  // A child of the measure opens: what its durations do, whether it gets a <staff> line, and
  // whether it is a block the merge gathers. True when the line is taken.
  bool openChild(std::size_t place, const Line& line) {
    const base::LineShape& shape = line.shape;
    kind_ = Element::None;
    holder_ = Holder::None;
    staffPlaced_ = false;
    switch (line.tag) {
      case 'n':
        if (shape.opens("note")) {
          kind_ = Element::Note;
          holder_ = Holder::Note;
          chord_ = false;
        }
        break;
      case 'b':
        if (shape.opens("backup")) kind_ = Element::Backup;
        break;
      case 'f':
        if (shape.opens("forward")) kind_ = Element::Forward;
        break;
      case 'd':
        if (shape.opens("direction")) holder_ = Holder::Direction;
        break;
      case 'h':
        if (shape.opens("harmony")) holder_ = Holder::Harmony;
        break;
      default:
        break;
    }
    staffWatch_ = holder_ == Holder::Note        ? kAfterNoteStaff
                  : holder_ == Holder::Direction ? kAfterDirectionStaff
                                                 : 0;
    if (line.tag == 'b' && shape.opens("barline")) {
      startBarline(place, line);
      return true;
    }
    if (line.tag == 'a' && shape.rest == "<attributes>") {
      attributes_.open = true;
      attributes_.held = place > 1;
      attributes_.total = m_.staff(place).total;
      attributes_.lines.clear();
    }
    return false;
  }

  QB_ALWAYS_INLINE std::string_view rewrite(std::size_t place, const Line& line) {
    const unsigned tagClass = kTagClasses[static_cast<unsigned char>(line.tag)];
    if ((tagClass & staffWatch_) != 0 && followsStaff(line, holder_)) writeStaff(place);
    if (line.tag == '/' && closesHolder(line.shape.rest)) closeHolder(place);
    if (line.tag == 'd' && line.shape.rest.starts_with("<duration>")) return duration(place, line);
    // A line of two bytes after its tabs changes under no rule; the byte read past it lies in the
    // buffer's slack.
    const unsigned second = static_cast<unsigned char>(line.shape.rest.data()[2]);
    const unsigned seconds = kChangingSeconds[static_cast<unsigned char>(line.tag)];
    const unsigned first = static_cast<unsigned>((seconds & 0xFFu) == second);
    if ((first | static_cast<unsigned>((seconds >> 8) == second)) == 0) return line.text;
    return mayChange(place, line);
  }

  // Reached only past kChangingSeconds, which has already told the few elements that change from
  // the many that do not (step, octave, type, dot, ...) by the byte after the tag's first letter.
  std::string_view mayChange(std::size_t place, const Line& line) {
    const std::string_view rest = line.shape.rest;
    switch (line.tag) {
      case 'v':
        return line.shape.depth >= 4 && rest.starts_with("<voice>") ? voice(place, line.text)
                                                                    : line.text;
      case 'c':
        if (rest.size() > 2 && rest[2] == 'h') {
          chord_ = chord_ || line.shape.opens("chord");
          return line.text;
        }
        return setting(place, line);
      case 's':  // staff details; <stem> and <step> on nearly every note are none
        return rest.size() > 3 && rest[3] == 'a' ? setting(place, line) : line.text;
      default:
        return setting(place, line);
    }
  }

  // Clefs, keys, times and staff details numbered for their staff; divisions and offsets made the
  // group's.
  std::string_view setting(std::size_t place, const Line& line) {
    const base::LineShape& shape = line.shape;
    const auto number = [&](std::string_view name) {
      return numberedTag(changed_, line.text, shape, name, static_cast<std::int64_t>(place), st_);
    };
    switch (line.tag) {
      case 'c':
        return shape.opens("clef") ? number("clef") : line.text;
      case 'k':
        return facts_.keysDiffer && shape.opens("key") ? number("key") : line.text;
      case 't':
        return facts_.timesDiffer && shape.opens("time") ? number("time") : line.text;
      case 's':
        return facts_.detailsDiffer && shape.opens("staff-details") ? number("staff-details")
                                                                    : line.text;
      case 'd':
        return facts_.divisions != 0 ? divisions(place, line) : line.text;
      case 'o':
        return facts_.divisions != 0 && shape.opens("offset") ? offset(place, line) : line.text;
      default:
        return line.text;
    }
  }

  // A note's or a direction's <staff> line goes in front of its first child that the schema
  // wants after it, else in front of its closing line; once, whatever the indentation between.
  void writeStaff(std::size_t place) {
    emit(m_.staffLine(static_cast<std::int64_t>(place)));
    staffPlaced_ = true;
    staffWatch_ = 0;
  }
  static bool closesHolder(std::string_view rest) {
    return rest.starts_with("</note>") || rest.starts_with("</direction>") ||
           rest.starts_with("</harmony>");
  }
  void closeHolder(std::size_t place) {
    if (!staffPlaced_) writeStaff(place);
    holder_ = Holder::None;
    staffPlaced_ = false;
  }

  std::string_view duration(std::size_t place, const Line& line) {
    std::string_view digits;
    if (facts_.divisions != 0 &&
        plainNumber(line.shape.rest, "<duration>", "</duration>", false, digits)) {
      const std::int32_t value = scaled(place, base::digitsValue32(digits));
      count(place, value);
      return withValue(changed_, line.text, digits, value);
    }
    if (kind_ == Element::Note && chord_) {
      chord_ = false;  // a chord's note sounds with the one before it: no reading needed
    } else {
      count(place, durationValue(line.text));
    }
    return line.text;
  }

  // Only a note that is no chord's second, a backup and a forward move the measure on.
  void count(std::size_t place, double value) {
    std::int32_t& total = m_.staff(place).total;
    switch (kind_) {
      case Element::Note:
        if (chord_) {
          chord_ = false;
          return;
        }
        [[fallthrough]];
      case Element::Forward:
        total = base::roundedInt32(total + value);
        return;
      case Element::Backup:
        total = base::roundedInt32(total - value);
        if (total < 0) m_.reportNegative(place);
        return;
      case Element::None:
        return;
    }
  }

  std::int32_t scaled(std::size_t place, std::int64_t value) const {
    return base::checkedNarrow<std::int32_t>(value * facts_.scale(divisions_[place - 1]));
  }

  std::string_view divisions(std::size_t place, const Line& line) {
    std::string_view digits;
    if (!plainNumber(line.shape.rest, "<divisions>", "</divisions>", false, digits)) {
      return line.text;
    }
    const std::int32_t value = base::digitsValue32(digits);
    if (value == 0) return line.text;
    divisions_[place - 1] = value;
    return withValue(changed_, line.text, digits, facts_.divisions);
  }

  std::string_view offset(std::size_t place, const Line& line) {
    const std::string_view rest = line.shape.rest;
    std::string_view digits;
    if (!plainNumber(rest, rest.substr(0, rest.find('>') + 1), "</offset>", true, digits)) {
      return line.text;
    }
    return withValue(changed_, line.text, digits, scaled(place, signedValue(digits)));
  }

  // Each staff's voices move past every voice of the staves above it in the whole piece, so a
  // voice keeps its number from measure to measure and its ties hold.
  std::string_view voice(std::size_t place, std::string_view line) {
    if (place == 1 || place > facts_.voiceOffset.size()) return line;
    changed_.clear();
    base::indent(changed_, 4, st_.tabChar.front()).append("<voice>");
    appendNumber(changed_, base::add32(voiceValue(line), facts_.voiceOffset[place - 1]));
    return changed_.append("</voice>");
  }

  void startBarline(std::size_t place, const Line& line) {
    const std::string_view rest = line.shape.rest;
    const auto at = [rest](std::string_view side) {
      return base::contains(rest, "location=\"" + std::string(side) + "\"") ||
             base::contains(rest, "location='" + std::string(side) + "'");
    };
    barline_.side = at("left")     ? OpenBlock::Side::Left
                    : at("middle") ? OpenBlock::Side::Middle
                                   : OpenBlock::Side::Right;
    barline_.lines.assign(1, std::string(line.text));
    barline_.open = true;
    if (rest.ends_with("/>") || base::contains(rest, "</barline>")) settleBarline(place);
  }

  StageEnd gatherBarline(std::size_t place, std::string_view line) {
    if (line.empty()) return StageEnd::None;
    barline_.lines.emplace_back(line);
    if (base::contains(line, "</barline>")) settleBarline(place);
    return StageEnd::None;
  }

  // An upper staff's right barline waits for the merged measure's end; a lower staff's left one
  // that an earlier staff of the measure wrote is said once; every other stands where it is.
  void settleBarline(std::size_t place) {
    barline_.open = false;
    if (barline_.side == OpenBlock::Side::Right && place < m_.staves()) {
      heldBarlines_.push_back(barline_.lines);
      return;
    }
    if (barline_.side == OpenBlock::Side::Left && place > 1 &&
        holdsBlock(writtenBarlines_, barline_.lines)) {
      return;
    }
    for (const std::string& line : barline_.lines) emit(line);
    writtenBarlines_.push_back(barline_.lines);
  }

  // A lower staff's attributes block that repeats, line for line and at the same moment, one
  // already written in this measure is left out: the staves share it, and it is said once.
  void closeAttributes() {
    attributes_.open = false;
    const std::pair<std::int32_t, Block> block{attributes_.total, attributes_.lines};
    if (attributes_.held) {
      if (std::find(writtenAttributes_.begin(), writtenAttributes_.end(), block) !=
          writtenAttributes_.end()) {
        return;
      }
      for (const std::string& line : attributes_.lines) m_.write(line);
    }
    writtenAttributes_.push_back(block);
  }

  // A block still open where its measure or part ends is written as it stood.
  void writeAsStood(OpenBlock& block) {
    if (!block.open) return;
    block.open = false;
    if (&block == &attributes_ && !block.held) return;
    for (const std::string& line : block.lines) emit(line);
  }

  void emit(std::string_view line) {
    if (attributes_.open) {
      attributes_.lines.emplace_back(line);
      if (attributes_.held) return;
    }
    m_.write(line);
  }

  GroupMerge& m_;
  const GroupFacts& facts_;
  const run::RunState& st_;
  std::string changed_;  // a staff line rewritten before it is written
  Element kind_ = Element::None;
  bool chord_ = false;
  Holder holder_ = Holder::None;
  bool staffPlaced_ = false;
  unsigned staffWatch_ = 0;  // the tag classes that may take the open element's <staff> line
  std::vector<std::int32_t> divisions_;  // each staff's divisions where its lines are now
  OpenBlock barline_, attributes_;
  std::vector<Block> writtenBarlines_, heldBarlines_;  // in this merged measure
  std::vector<std::pair<std::int32_t, Block>> writtenAttributes_;
};

}  // namespace

void mergePart(run::Context& ctx, const std::string& groupParts, const GroupFacts& facts) {
  GroupMerge merge(ctx, groupParts);
  merge.openStaves();
  if (ctx.state.validOutput) {
    ValidRules rules(merge, facts);
    merge.mergeMeasures(rules);
  } else {
    DescribedRules rules(merge);
    merge.mergeMeasures(rules);
  }
  merge.cleanUp();
}

}  // namespace merge
