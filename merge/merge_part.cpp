#include "merge/merge_part.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/checked.h"
#include "base/inline.h"
#include "base/scan.h"
#include "base/text.h"
#include "merge/work_files.h"
#include "xmlio/line_writer.h"

namespace merge {
namespace {

using base::contains;
using platform::FileNo;

void appendNumber(std::string& out, std::int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// A line that a marker must match whole. Lines of the same length are common, so the byte after
// the marker's first "<" is compared before the rest.
class WholeLine {
 public:
  WholeLine() = default;
  explicit WholeLine(std::string text) : text_(std::move(text)), key_(text_.find('<') + 1) {}
  bool matches(std::string_view line) const {
    return line.size() == text_.size() && line[key_] == text_[key_] && line == text_;
  }

 private:
  std::string text_;
  std::size_t key_ = 0;
};

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

struct Staff {
  std::string name;  // of its work file
  FileNo file = 0;
  std::int32_t total = 0;  // duration of the current measure so far
};

enum class StageEnd { Measure, Part };

// What a duration belongs to: a forward counts as the last note or backup opened before it.
enum class Element { None, Note, Backup };

// An element that gets a <staff> line: a note or a direction.
enum class Holder { None, Note, Direction };

// True when `rest`, the text after a "<", opens the element `name`: its tag, with attributes or
// without, or empty. Compared here byte by byte: names are short, and a call to compare them would
// cost more than the comparing, on most lines of a part.
constexpr bool opensElement(std::string_view rest, std::string_view name) {
  if (rest.size() <= name.size()) return false;
  for (std::size_t k = 0; k < name.size(); ++k) {
    if (rest[k] != name[k]) return false;
  }
  const char next = rest[name.size()];
  return next == '>' || next == ' ' || next == '/' || next == '\t';
}

// The element that a measure child's tag opens, when it holds a <staff> line.
Holder holderOpened(std::string_view rest) {
  if (opensElement(rest, "note")) return Holder::Note;
  if (opensElement(rest, "direction")) return Holder::Direction;
  return Holder::None;
}

// True when the child whose tag `rest` opens comes after <staff> in the schema's order for
// `holder`: in a note beam, notations, lyric, play and listen; in a direction sound and listening.
bool followsStaff(std::string_view rest, Holder holder) {
  switch (holder == Holder::None ? '\0' : rest.front()) {
    case 'b':
      return holder == Holder::Note && opensElement(rest, "beam");
    case 'n':
      return holder == Holder::Note && opensElement(rest, "notations");
    case 'p':
      return holder == Holder::Note && opensElement(rest, "play");
    case 's':
      return holder == Holder::Direction && opensElement(rest, "sound");
    case 'l':
      return holder == Holder::Note ? opensElement(rest, "lyric") || opensElement(rest, "listen")
                                    : opensElement(rest, "listening");
    default:
      return false;
  }
}

// One call of mergePart. A staff's place in the group counts from 1, the top; the last, n_, is
// the bottom staff.
class GroupMerge {
 public:
  GroupMerge(run::Context& ctx, const std::string& groupParts);
  void openStaves();
  void mergeMeasures();
  void cleanUp();

 private:
  void enterStage(std::size_t place);
  StageEnd runStage(std::size_t place);
  std::string_view nextLine(Staff& staff);
  void startMeasure(std::size_t place, std::string_view line);
  // Writes `line` of the staff at `place` as the line rules make it; true when it ends the
  // staff's measure.
  bool applyRules(std::size_t place, std::string_view line, unsigned markers);
  void endMeasure(std::size_t place, std::string_view line);
  void applyDuration(std::size_t place, std::string_view line);
  std::string_view applyVoice(std::size_t place, std::string_view line);
  void placeStaffForSchema(std::string_view line);
  [[noreturn]] void reportMismatch();
  void write(std::string_view line) { xmlio::writeXML(ctx_, line); }
  std::string& startLine(std::string_view indent);
  // The <staff> line of the current staff number, made again only when the number changes.
  const std::string& staffLine();

  run::Context& ctx_;
  const std::string& groupParts_;
  std::vector<Staff> staves_;
  std::size_t n_ = 0;

  std::string tab_, quote_;
  WholeLine partEnd_, measureEnd_, noteStart_, backupStart_, clefLine_, chordLine_;
  std::string attributesEnd_;
  std::string indent3_, indent4_;

  std::string line_;
  std::string spill_;    // a staff line that spans two blocks of its work file
  std::string built_;    // lines made here, reused so that no line costs an allocation
  std::string changed_;  // a staff line rewritten before it is copied
  std::string staffLine_;
  std::int16_t staffLineNo_ = 0;  // the number staffLine_ holds; 0: none yet
  Element kind_ = Element::None;  // the last note or backup opened; never reset
  std::int16_t staffNo_ = 1;
  bool chord_ = false;
  // With validOutput: the note or direction open, and whether its <staff> line is written.
  bool forSchema_ = false;
  Holder holder_ = Holder::None;
  bool staffPlaced_ = false;
  std::int32_t highestVoice_ = 0;
  std::int32_t voiceOffset_ = 0;
  // What the upper staves did in the current pass, to tell staves with different measures apart.
  bool upperClosed_ = false;
  bool upperCopied_ = false;
};

GroupMerge::GroupMerge(run::Context& ctx, const std::string& groupParts)
    : ctx_(ctx), groupParts_(groupParts) {
  std::vector<std::int16_t> numbers;
  std::string_view rest = groupParts;
  while (!rest.empty()) {
    numbers.push_back(takePartNumber(rest));
    if (!rest.empty()) rest.remove_prefix(1);
  }
  if (numbers.empty()) run::reportAndEnd(ctx, "Programming error, a group without parts");
  n_ = numbers.size();
  for (std::size_t place = 1; place < n_; ++place) {
    staves_.push_back(Staff{workFileName(std::to_string(numbers[place - 1]))});
  }
  staves_.push_back(Staff{std::string(kBottomWorkFile)});

  const run::RunState& st = ctx.state;
  tab_ = st.tabChar;
  quote_ = st.quoteChar;
  partEnd_ = WholeLine(st.indent(1) + "</part>");
  measureEnd_ = WholeLine(st.indent(2) + "</measure>");
  noteStart_ = WholeLine(st.indent(3) + "<note>");
  backupStart_ = WholeLine(st.indent(3) + "<backup>");
  clefLine_ = WholeLine(st.indent(4) + "<clef>");
  chordLine_ = WholeLine(st.indent(4) + "<chord/>");
  attributesEnd_ = st.indent(3) + "</attributes>";
  indent3_ = st.indent(3);
  indent4_ = st.indent(4);
  forSchema_ = st.validOutput;
}

const std::string& GroupMerge::staffLine() {
  if (staffLineNo_ != staffNo_) {
    staffLine_.assign(indent4_).append("<staff>");
    appendNumber(staffLine_, staffNo_);
    staffLine_.append("</staff>");
    staffLineNo_ = staffNo_;
  }
  return staffLine_;
}

std::string& GroupMerge::startLine(std::string_view indent) {
  built_.assign(indent);
  return built_;
}

// Each staff's file is left just after its first attributes: an upper part's end at a line
// that is three tabs and "</attributes>", the bottom part's at a line that contains them.
void GroupMerge::openStaves() {
  const auto skip = [](std::string_view) {};
  for (std::size_t place = 1; place < n_; ++place) {
    Staff& staff = staves_[place - 1];
    staff.file = openWorkFile(ctx_, staff.name);
    readThrough(ctx_, staff.file, staff.name, attributesEnd_, true, line_, skip);
  }
  Staff& bottom = staves_.back();
  bottom.file = openWorkFile(ctx_, bottom.name, "Failed to open NEW workfile for input.", true);
  readThrough(ctx_, bottom.file, bottom.name, attributesEnd_, false, line_, skip);
}

void GroupMerge::mergeMeasures() {
  for (;;) {
    upperClosed_ = false;
    upperCopied_ = false;
    for (std::size_t place = 1; place < n_; ++place) {
      enterStage(place);
      (runStage(place) == StageEnd::Part ? upperClosed_ : upperCopied_) = true;
    }
    enterStage(n_);
    if (runStage(n_) == StageEnd::Part) return;
  }
}

void GroupMerge::cleanUp() {
  for (const Staff& staff : staves_) {
    static_cast<void>(ctx_.files.close(staff.file));
    static_cast<void>(ctx_.fileSystem.remove(staff.name));
  }
}

void GroupMerge::enterStage(std::size_t place) {
  if (place == 1 && n_ > 1) return;
  chord_ = false;
  voiceOffset_ = base::add32(voiceOffset_, highestVoice_);
  // Each lower staff starts above every voice used by the staves before it in this measure.
  if (place < n_) highestVoice_ = 0;
}

// The next line of a staff's work file, viewed where it lies until the next read; its end, or a
// failure to read, ends the run.
std::string_view GroupMerge::nextLine(Staff& staff) {
  ctx_.files.clearError();
  std::string_view line;
  switch (ctx_.files.readLineView(staff.file, line, spill_)) {
    case platform::ReadStatus::Ok:
      // A line gathered from two blocks gets the room behind it that the scan kernel reads.
      if (line.data() == spill_.data()) {
        const std::size_t size = spill_.size();
        spill_.append(base::kScanSlack, '\0');
        line = std::string_view(spill_).substr(0, size);
      }
      return line;
    case platform::ReadStatus::End:
      run::reportAndEnd(ctx_, "Work file " + staff.name + " of the parts " + groupParts_ +
                                  " ended before </part>. Run aborted");
    case platform::ReadStatus::Failed:
      break;
  }
  reportReadFailure(ctx_, staff.name);
}

StageEnd GroupMerge::runStage(std::size_t place) {
  Staff& staff = staves_[place - 1];
  const bool bottom = place == n_;
  for (;;) {
    std::string_view line = nextLine(staff);
    if (partEnd_.matches(line)) {
      if (!bottom) return StageEnd::Part;
      if (upperCopied_) reportMismatch();
      write(line);
      return StageEnd::Part;
    }
    if (line.empty()) {  // every other line, when the score was UTF-16
      write(line);
      continue;
    }
    const unsigned markers = markersIn(line, tab_.front());
    if (bottom && (markers & kComment) != 0) continue;
    if ((markers & kMeasureStart) != 0) {
      startMeasure(place, line);
    } else if (applyRules(place, line, markers)) {
      return StageEnd::Measure;
    }
  }
}

void GroupMerge::startMeasure(std::size_t place, std::string_view line) {
  if (place == n_) {
    if (upperClosed_) reportMismatch();
    write("<!--=== next copied bottom staff measure ===-->");
  } else {
    std::string& comment = startLine("<!--=== next copied upper staff ");
    appendNumber(comment, static_cast<std::int64_t>(place));
    write(comment.append(": ===-->"));
  }
  staves_[place - 1].total = 0;
  // Only the first staff's measure line is kept; the others would open a second measure.
  if (place == 1) {
    staffNo_ = 1;
    ctx_.process.processEvents();
    write(line);
  }
}

bool GroupMerge::applyRules(std::size_t place, std::string_view line, unsigned markers) {
  if (forSchema_) placeStaffForSchema(line);
  const bool bottom = place == n_;
  if (noteStart_.matches(line)) {
    kind_ = Element::Note;
  } else if (backupStart_.matches(line)) {
    kind_ = Element::Backup;
  } else if (clefLine_.matches(line)) {
    changed_.assign(indent4_).append("<clef number=").append(quote_);
    appendNumber(changed_, bottom ? static_cast<std::int64_t>(n_) : std::int64_t{staffNo_});
    line = changed_.append(quote_).append(">");
  } else if ((markers & kDuration) != 0) {
    applyDuration(place, line);
  } else if ((markers & kStaffEnd) != 0) {
    if (!staffPlaced_) write(staffLine());
    holder_ = Holder::None;
    staffPlaced_ = false;
  } else if (measureEnd_.matches(line)) {
    endMeasure(place, line);
    return true;
  } else if (chordLine_.matches(line)) {
    chord_ = true;
  } else if ((markers & kVoice) != 0) {
    line = applyVoice(place, line);
  }
  write(line);
  return false;
}

// The schema wants a note's <staff> before its beam, notations, lyric, play and listen children,
// and a direction's before its sound and listening: the line goes in front of the first of them,
// or, where none comes, in front of the closing line as always.
void GroupMerge::placeStaffForSchema(std::string_view line) {
  const char tab = tab_.front();
  if (line.size() < 6 || line[0] != tab || line[1] != tab || line[2] != tab) return;
  if (line[3] == '<') {  // a measure's child: a note or a direction opens, or something else
    if (line[4] == '/') return;
    holder_ = holderOpened(line.substr(4));
    staffPlaced_ = false;
  } else if (line[3] == tab && line[4] == '<' && !staffPlaced_ &&
             followsStaff(line.substr(5), holder_)) {
    write(staffLine());
    staffPlaced_ = true;
  }
}

// An upper staff's measure ends in a backup to the measure's start; the bottom staff's ends the
// merged measure.
void GroupMerge::endMeasure(std::size_t place, std::string_view line) {
  const std::int32_t total = staves_[place - 1].total;
  if (place < n_) {
    staffNo_ = base::add16(staffNo_, 1);
    write(startLine(indent3_).append("<backup>"));
    std::string& duration = startLine(indent4_).append("<duration>");
    appendNumber(duration, total);
    write(duration.append("</duration>"));
    write(startLine(indent3_).append("</backup>"));
    std::string& comment = startLine("<!--=== above measure duration");
    appendNumber(comment, static_cast<std::int64_t>(place));
    appendNumber(comment.append(" is "), total);
    write(comment.append(" ===-->"));
    return;
  }
  if (upperClosed_) reportMismatch();
  staffNo_ = base::add16(staffNo_, 1);
  write(line);
  std::string& comment = startLine("<!--=== above measure duration bottom staff is ");
  appendNumber(comment, total);
  write(comment.append(" ===-->"));
  voiceOffset_ = 0;
  highestVoice_ = 0;
}

void GroupMerge::applyDuration(std::size_t place, std::string_view line) {
  // A chord note sounds with the note before it, so its duration does not move the measure on.
  if (chord_) {
    chord_ = false;
    return;
  }
  constexpr std::string_view kOpen = "<duration>", kClose = "</duration>";
  std::string_view text = line.substr(line.find(kOpen) + kOpen.size());
  text = text.size() < kClose.size() ? std::string_view{}
                                     : text.substr(0, text.size() - kClose.size());
  const double value = base::leadingNumber(text);
  Staff& staff = staves_[place - 1];
  if (kind_ == Element::Note) {
    staff.total = base::roundedInt32(staff.total + value);
    return;
  }
  staff.total = base::roundedInt32(staff.total - value);
  if (staff.total >= 0) return;
  const std::string total = std::to_string(staff.total);
  if (place == n_) run::reportAndEnd(ctx_, "Programming error, dur = " + total);
  if (place == 1) run::reportAndEnd(ctx_, "Programming error, dur1 = " + total);
  run::reportAndEnd(ctx_, "Programming error, dur(" + std::to_string(place) + ") = " + total);
}

std::string_view GroupMerge::applyVoice(std::size_t place, std::string_view line) {
  constexpr std::string_view kOpen = "<voice>";
  const std::string_view rest = line.substr(line.find(kOpen) + kOpen.size());
  const std::int32_t v = base::roundedInt32(base::leadingNumber(rest));
  if (place < n_) highestVoice_ = std::max(highestVoice_, v);
  // Upper staff 1 keeps its voices; the staves below move past the voices used above them.
  if (place == 1 && n_ > 1) return line;
  changed_.assign(indent4_).append("<voice>");
  appendNumber(changed_, base::add32(v, voiceOffset_));
  return changed_.append("</voice>");
}

void GroupMerge::reportMismatch() {
  run::reportAndEnd(ctx_, "The parts " + groupParts_ +
                              " of one group do not have the same measures. Run aborted");
}

}  // namespace

void mergePart(run::Context& ctx, const std::string& groupParts) {
  GroupMerge merge(ctx, groupParts);
  merge.openStaves();
  merge.mergeMeasures();
  merge.cleanUp();
}

}  // namespace merge
