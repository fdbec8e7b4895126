#include "merge/merge_part.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "merge/work_files.h"
#include "platform/checked.h"
#include "platform/text.h"
#include "xmlio/line_writer.h"

namespace merge {
namespace {

using platform::contains;
using platform::FileNo;

// Rounds half to even (the default rounding mode) and narrows to 32 bits, checked.
std::int32_t roundedInt32(double value) {
  const double r = std::nearbyint(value);
  if (!(r >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        r <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    throw platform::ArithmeticOverflow{};
  }
  return static_cast<std::int32_t>(r);
}

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

struct Staff {
  std::string name;  // of its work file
  FileNo file = 0;
  std::int32_t total = 0;  // duration of the current measure so far
};

enum class StageEnd { Measure, Part };

// One call of mergePart. Staves are numbered from 1; the last one is the bottom staff.
class GroupMerge {
 public:
  GroupMerge(app::Context& ctx, const std::string& groupParts);
  void openStaves();
  void mergeMeasures();
  void cleanUp();

 private:
  void enterStage(std::size_t k);
  StageEnd runStage(std::size_t k);
  std::string_view nextLine(Staff& staff);
  void startMeasure(std::size_t k, std::string_view line);
  // Writes `line` of staff k as the line rules make it; true when it ends the staff's measure.
  bool applyRules(std::size_t k, std::string_view line, unsigned markers);
  void endMeasure(std::size_t k, std::string_view line);
  void applyDuration(std::size_t k, std::string_view line);
  std::string_view applyVoice(std::size_t k, std::string_view line);
  [[noreturn]] void reportMismatch();
  void write(std::string_view line) { xmlio::writeXML(ctx_, line); }
  unsigned markersIn(std::string_view line) const;
  std::string& startLine(std::string_view indent);

  // The markers that a line may hold anywhere, with the offset of each one's first "<": every
  // occurrence of a marker puts that "<" in the line, so looking only where the line has a "<"
  // finds exactly what a search for each marker in turn would.
  enum Marker : unsigned {
    kComment = 1u << 0,
    kMeasureStart = 1u << 1,
    kDuration = 1u << 2,
    kNoteEnd = 1u << 3,
    kDirectionEnd = 1u << 4,
    kVoice = 1u << 5,
  };
  struct Pattern {
    std::string text;
    std::size_t open = 0;  // offset of the first "<" in text
    unsigned bit = 0;
  };
  std::array<Pattern, 6> patterns_;
  // For each byte, the patterns (as bits of their index) whose "<" that byte follows.
  std::array<std::uint8_t, 256> patternsAfter_{};

  app::Context& ctx_;
  const std::string& groupParts_;
  std::vector<Staff> staves_;
  std::size_t n_ = 0;

  std::string tab_, quote_;
  WholeLine partEnd_, measureEnd_, noteStart_, backupStart_, clefLine_, chordLine_;
  std::string comment_, measureStart_, voiceLine_, attributesEnd_;
  std::string indent3_, indent4_;

  std::string line_;
  std::string spill_;    // a staff line that spans two blocks of its work file
  std::string built_;    // lines made here, reused so that no line costs an allocation
  std::string changed_;  // a staff line rewritten before it is copied
  char kind_ = 0;        // 'n' after a note's opening line, 'b' after a backup's; never reset
  std::int16_t staffNo_ = 1;
  bool chord_ = false;
  std::int32_t highestVoice_ = 0;
  std::int32_t voiceOffset_ = 0;
  // What the upper staves did in the current pass, to tell staves with different measures apart.
  bool upperClosed_ = false;
  bool upperCopied_ = false;
};

GroupMerge::GroupMerge(app::Context& ctx, const std::string& groupParts)
    : ctx_(ctx), groupParts_(groupParts) {
  std::vector<std::int16_t> numbers;
  std::string_view rest = groupParts;
  while (!rest.empty()) {
    numbers.push_back(takePartNumber(rest));
    if (!rest.empty()) rest.remove_prefix(1);
  }
  if (numbers.empty()) app::reportAndEnd(ctx, "Programming error, a group without parts");
  n_ = numbers.size();
  for (std::size_t k = 1; k < n_; ++k) {
    staves_.push_back(Staff{workFileName(std::to_string(numbers[k - 1]))});
  }
  staves_.push_back(Staff{std::string(kBottomWorkFile)});

  const app::RunState& s = ctx.state;
  tab_ = s.tabChar;
  quote_ = s.quoteChar;
  const std::string t2 = tab_ + tab_, t3 = t2 + tab_, t4 = t3 + tab_;
  partEnd_ = WholeLine(tab_ + "</part>");
  comment_ = tab_ + "<!";
  measureStart_ = t2 + "<measure number=";
  measureEnd_ = WholeLine(t2 + "</measure>");
  noteStart_ = WholeLine(t3 + "<note>");
  backupStart_ = WholeLine(t3 + "<backup>");
  clefLine_ = WholeLine(t4 + "<clef>");
  chordLine_ = WholeLine(t4 + "<chord/>");
  voiceLine_ = t4 + "<voice>";
  attributesEnd_ = t3 + "</attributes>";
  indent3_ = t3;
  indent4_ = t4;

  const std::pair<std::string, unsigned> markers[] = {
      {comment_, kComment},  {measureStart_, kMeasureStart},  {"<duration>", kDuration},
      {"</note>", kNoteEnd}, {"</direction>", kDirectionEnd}, {voiceLine_, kVoice},
  };
  for (std::size_t m = 0; m < patterns_.size(); ++m) {
    Pattern& p = patterns_[m];
    p = Pattern{markers[m].first, markers[m].first.find('<'), markers[m].second};
    // Each pattern has at least one byte after its "<", the byte that tells most of them apart.
    patternsAfter_[static_cast<unsigned char>(p.text[p.open + 1])] |= std::uint8_t(1u << m);
  }
}

unsigned GroupMerge::markersIn(std::string_view line) const {
  unsigned found = 0;
  const char* const begin = line.data();
  const std::size_t size = line.size();
  for (std::size_t at = 0; at + 1 < size; ++at) {
    const void* open = std::memchr(begin + at, '<', size - at);
    if (open == nullptr) break;
    at = static_cast<std::size_t>(static_cast<const char*>(open) - begin);
    if (at + 1 >= size) break;
    for (unsigned m = patternsAfter_[static_cast<unsigned char>(begin[at + 1])]; m != 0;
         m &= m - 1) {
      const Pattern& p = patterns_[static_cast<std::size_t>(std::countr_zero(m))];
      if (at < p.open) continue;
      const std::size_t from = at - p.open;
      if (size - from >= p.text.size() &&
          std::memcmp(begin + from, p.text.data(), p.text.size()) == 0) {
        found |= p.bit;
      }
    }
  }
  return found;
}

std::string& GroupMerge::startLine(std::string_view indent) {
  built_.assign(indent);
  return built_;
}

void GroupMerge::openStaves() {
  for (std::size_t k = 1; k < n_; ++k) {
    Staff& staff = staves_[k - 1];
    staff.file = ctx_.files.freeFile();
    if (!ctx_.files.open(staff.file, staff.name, platform::Mode::TextIn)) {
      app::reportAndEnd(ctx_, "Failed to open file " + staff.name);
    }
    do {
      if (!readWorkLine(ctx_, staff.file, staff.name, line_)) {
        reportEndedBefore(ctx_, staff.name, "</attributes>");
      }
    } while (line_ != attributesEnd_);
  }
  Staff& bottom = staves_.back();
  bottom.file = ctx_.files.freeFile();
  ctx_.files.fileSystem().clearError();
  if (!ctx_.files.open(bottom.file, bottom.name, platform::Mode::TextIn)) {
    app::reportAndEnd(ctx_, "Failed to open NEW workfile for input.\r\n" +
                                ctx_.files.fileSystem().lastError().text);
  }
  do {
    if (!readWorkLine(ctx_, bottom.file, bottom.name, line_)) {
      reportEndedBefore(ctx_, bottom.name, "</attributes>");
    }
  } while (!contains(line_, attributesEnd_));
}

void GroupMerge::mergeMeasures() {
  for (;;) {
    upperClosed_ = false;
    upperCopied_ = false;
    for (std::size_t k = 1; k < n_; ++k) {
      enterStage(k);
      (runStage(k) == StageEnd::Part ? upperClosed_ : upperCopied_) = true;
    }
    enterStage(n_);
    if (runStage(n_) == StageEnd::Part) return;
  }
}

void GroupMerge::cleanUp() {
  for (const Staff& staff : staves_) {
    static_cast<void>(ctx_.files.close(staff.file));
    static_cast<void>(ctx_.files.fileSystem().remove(staff.name));
  }
}

void GroupMerge::enterStage(std::size_t k) {
  if (k == 1 && n_ > 1) return;
  chord_ = false;
  voiceOffset_ = platform::add32(voiceOffset_, highestVoice_);
  // Each lower staff starts above every voice used by the staves before it in this measure.
  if (k < n_) highestVoice_ = 0;
}

// The next line of a staff's work file, viewed where it lies until the next read; its end, or a
// failure to read, ends the run.
std::string_view GroupMerge::nextLine(Staff& staff) {
  ctx_.files.clearError();
  std::string_view line;
  switch (ctx_.files.readLineView(staff.file, line, spill_)) {
    case platform::ReadStatus::Ok:
      return line;
    case platform::ReadStatus::End:
      app::reportAndEnd(ctx_, "Work file " + staff.name + " of the parts " + groupParts_ +
                                  " ended before </part>. Run aborted");
    case platform::ReadStatus::Failed:
      break;
  }
  reportReadFailure(ctx_, staff.name);
}

StageEnd GroupMerge::runStage(std::size_t k) {
  Staff& staff = staves_[k - 1];
  const bool bottom = k == n_;
  for (;;) {
    std::string_view line = nextLine(staff);
    if (partEnd_.matches(line)) {
      if (!bottom) return StageEnd::Part;
      if (upperCopied_) reportMismatch();
      write(line);
      return StageEnd::Part;
    }
    const unsigned markers = markersIn(line);
    if (bottom && (markers & kComment) != 0) continue;
    if ((markers & kMeasureStart) != 0) {
      startMeasure(k, line);
    } else if (applyRules(k, line, markers)) {
      return StageEnd::Measure;
    }
  }
}

void GroupMerge::startMeasure(std::size_t k, std::string_view line) {
  if (k == n_) {
    if (upperClosed_) reportMismatch();
    write("<!--=== next copied bottom staff measure ===-->");
  } else {
    std::string& comment = startLine("<!--=== next copied upper staff ");
    appendNumber(comment, static_cast<std::int64_t>(k));
    write(comment.append(": ===-->"));
  }
  staves_[k - 1].total = 0;
  // Only the first staff's measure line is kept; the others would open a second measure.
  if (k == 1) {
    staffNo_ = 1;
    ctx_.process.processEvents();
    write(line);
  }
}

bool GroupMerge::applyRules(std::size_t k, std::string_view line, unsigned markers) {
  const bool bottom = k == n_;
  if (noteStart_.matches(line)) {
    kind_ = 'n';
  } else if (backupStart_.matches(line)) {
    kind_ = 'b';
  } else if (clefLine_.matches(line)) {
    changed_.assign(indent4_).append("<clef number=").append(quote_);
    appendNumber(changed_, bottom ? static_cast<std::int64_t>(n_) : std::int64_t{staffNo_});
    line = changed_.append(quote_).append(">");
  } else if ((markers & kDuration) != 0) {
    applyDuration(k, line);
  } else if ((markers & (kNoteEnd | kDirectionEnd)) != 0) {
    std::string& staffLine = startLine(indent4_).append("<staff>");
    appendNumber(staffLine, staffNo_);
    write(staffLine.append("</staff>"));
  } else if (measureEnd_.matches(line)) {
    endMeasure(k, line);
    return true;
  } else if (chordLine_.matches(line)) {
    chord_ = true;
  } else if ((markers & kVoice) != 0) {
    line = applyVoice(k, line);
  }
  write(line);
  return false;
}

// An upper staff's measure ends in a backup to the measure's start; the bottom staff's ends the
// merged measure.
void GroupMerge::endMeasure(std::size_t k, std::string_view line) {
  const std::int32_t total = staves_[k - 1].total;
  if (k < n_) {
    staffNo_ = platform::add16(staffNo_, 1);
    write(startLine(indent3_).append("<backup>"));
    std::string& duration = startLine(indent4_).append("<duration>");
    appendNumber(duration, total);
    write(duration.append("</duration>"));
    write(startLine(indent3_).append("</backup>"));
    std::string& comment = startLine("<!--=== above measure duration");
    appendNumber(comment, static_cast<std::int64_t>(k));
    appendNumber(comment.append(" is "), total);
    write(comment.append(" ===-->"));
    return;
  }
  if (upperClosed_) reportMismatch();
  staffNo_ = platform::add16(staffNo_, 1);
  write(line);
  std::string& comment = startLine("<!--=== above measure duration bottom staff is ");
  appendNumber(comment, total);
  write(comment.append(" ===-->"));
  voiceOffset_ = 0;
  highestVoice_ = 0;
}

void GroupMerge::applyDuration(std::size_t k, std::string_view line) {
  // A chord note sounds with the note before it, so its duration does not move the measure on.
  if (chord_) {
    chord_ = false;
    return;
  }
  constexpr std::string_view kOpen = "<duration>", kClose = "</duration>";
  std::string_view text = line.substr(line.find(kOpen) + kOpen.size());
  text = text.size() < kClose.size() ? std::string_view{}
                                     : text.substr(0, text.size() - kClose.size());
  const double value = platform::leadingNumber(text);
  Staff& staff = staves_[k - 1];
  if (kind_ == 'n') {
    staff.total = roundedInt32(staff.total + value);
    return;
  }
  staff.total = roundedInt32(staff.total - value);
  if (staff.total >= 0) return;
  const std::string total = std::to_string(staff.total);
  if (k == n_) app::reportAndEnd(ctx_, "Programming error, dur = " + total);
  if (k == 1) app::reportAndEnd(ctx_, "Programming error, dur1 = " + total);
  app::reportAndEnd(ctx_, "Programming error, dur(" + std::to_string(k) + ") = " + total);
}

std::string_view GroupMerge::applyVoice(std::size_t k, std::string_view line) {
  constexpr std::string_view kOpen = "<voice>";
  const std::string_view rest = line.substr(line.find(kOpen) + kOpen.size());
  const std::int32_t v = roundedInt32(platform::leadingNumber(rest));
  if (k < n_) highestVoice_ = std::max(highestVoice_, v);
  // Upper staff 1 keeps its voices; the staves below move past the voices used above them.
  if (k == 1 && n_ > 1) return line;
  changed_.assign(indent4_).append("<voice>");
  appendNumber(changed_, platform::add32(v, voiceOffset_));
  return changed_.append("</voice>");
}

void GroupMerge::reportMismatch() {
  app::reportAndEnd(ctx_, "The parts " + groupParts_ +
                              " of one group do not have the same measures. Run aborted");
}

}  // namespace

void mergePart(app::Context& ctx, const std::string& groupParts) {
  GroupMerge merge(ctx, groupParts);
  merge.openStaves();
  merge.mergeMeasures();
  merge.cleanUp();
}

}  // namespace merge
