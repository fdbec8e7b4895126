#include "merge/merge_part.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "app/calling_sequence.h"
#include "merge/merge_attributes.h"
#include "platform/checked.h"
#include "xmlio/line_writer.h"

namespace merge {
namespace {

using platform::FileNo;

bool contains(std::string_view line, std::string_view text) {
  return line.find(text) != std::string_view::npos;
}

// Rounds half to even (the default rounding mode) and narrows to 32 bits, checked.
std::int32_t roundedInt32(double value) {
  const double r = std::nearbyint(value);
  if (!(r >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        r <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    throw platform::ArithmeticOverflow{};
  }
  return static_cast<std::int32_t>(r);
}

struct Staff {
  std::string name;  // work file
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
  void applyDuration(std::size_t k, std::string_view line);
  void applyVoice(std::size_t k);
  void endUpperStaff(std::size_t k);
  [[noreturn]] void reportMismatch();
  void write(std::string_view line) { xmlio::writeXML(ctx_, line); }

  app::Context& ctx_;
  const std::string& groupParts_;
  std::vector<Staff> staves_;
  std::size_t n_ = 0;

  std::string tab_, quote_;
  std::string partEnd_, comment_, measureStart_, measureEnd_, noteStart_, backupStart_;
  std::string clefLine_, chordLine_, voiceLine_, attributesEnd_;

  std::string line_;
  char kind_ = 0;  // 'n' after a note's opening line, 'b' after a backup's; never reset
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
  for (std::size_t k = 1; k < n_; ++k) staves_.push_back(Staff{upperWorkFileName(numbers[k - 1])});
  staves_.push_back(Staff{std::string(kBottomWorkFile)});

  const app::RunState& s = ctx.state;
  tab_ = s.tabChar;
  quote_ = s.quoteChar;
  const std::string t2 = tab_ + tab_, t3 = t2 + tab_, t4 = t3 + tab_;
  partEnd_ = tab_ + "</part>";
  comment_ = tab_ + "<!";
  measureStart_ = t2 + "<measure number=";
  measureEnd_ = t2 + "</measure>";
  noteStart_ = t3 + "<note>";
  backupStart_ = t3 + "<backup>";
  clefLine_ = t4 + "<clef>";
  chordLine_ = t4 + "<chord/>";
  voiceLine_ = t4 + "<voice>";
  attributesEnd_ = t3 + "</attributes>";
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

StageEnd GroupMerge::runStage(std::size_t k) {
  Staff& staff = staves_[k - 1];
  const bool bottom = k == n_;
  std::string& line = line_;
  for (;;) {
    if (!readWorkLine(ctx_, staff.file, staff.name, line)) {
      app::reportAndEnd(ctx_, "Work file " + staff.name + " of the parts " + groupParts_ +
                                  " ended before </part>. Run aborted");
    }
    if (line == partEnd_) {
      if (!bottom) return StageEnd::Part;
      if (upperCopied_) reportMismatch();
      write(line);
      return StageEnd::Part;
    }
    if (bottom && contains(line, comment_)) continue;
    if (contains(line, measureStart_)) {
      if (bottom && upperClosed_) reportMismatch();
      write(bottom ? std::string("<!--=== next copied bottom staff measure ===-->")
                   : "<!--=== next copied upper staff " + std::to_string(k) + ": ===-->");
      staff.total = 0;
      // Only the first staff's measure line is kept; the others would open a second measure.
      if (k == 1) {
        staffNo_ = 1;
        ctx_.process.processEvents();
        write(line);
      }
      continue;
    }
    if (line == noteStart_) {
      kind_ = 'n';
    } else if (line == backupStart_) {
      kind_ = 'b';
    } else if (line == clefLine_) {
      const std::string number = bottom ? std::to_string(n_) : std::to_string(staffNo_);
      line = tab_ + tab_ + tab_ + tab_ + "<clef number=" + quote_ + number + quote_ + ">";
    } else if (contains(line, "<duration>")) {
      applyDuration(k, line);
    } else if (contains(line, "</note>") || contains(line, "</direction>")) {
      write(tab_ + tab_ + tab_ + tab_ + "<staff>" + std::to_string(staffNo_) + "</staff>");
    } else if (line == measureEnd_) {
      if (!bottom) {
        endUpperStaff(k);
        return StageEnd::Measure;
      }
      if (upperClosed_) reportMismatch();
      staffNo_ = platform::add16(staffNo_, 1);
      write(line);
      write("<!--=== above measure duration bottom staff is " + std::to_string(staff.total) +
            " ===-->");
      voiceOffset_ = 0;
      highestVoice_ = 0;
      return StageEnd::Measure;
    } else if (line == chordLine_) {
      chord_ = true;
    } else if (contains(line, voiceLine_)) {
      applyVoice(k);
    }
    write(line);
  }
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
  const double value = app::leadingNumber(text);
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

void GroupMerge::applyVoice(std::size_t k) {
  constexpr std::string_view kOpen = "<voice>";
  const std::string_view rest = std::string_view(line_).substr(line_.find(kOpen) + kOpen.size());
  const std::int32_t v = roundedInt32(app::leadingNumber(rest));
  if (k < n_) highestVoice_ = std::max(highestVoice_, v);
  // Upper staff 1 keeps its voices; the staves below move past the voices used above them.
  if (k == 1 && n_ > 1) return;
  line_ = tab_ + tab_ + tab_ + tab_ + "<voice>" + std::to_string(platform::add32(v, voiceOffset_)) +
          "</voice>";
}

void GroupMerge::endUpperStaff(std::size_t k) {
  staffNo_ = platform::add16(staffNo_, 1);
  const std::string t = std::to_string(staves_[k - 1].total);
  const std::string t3 = tab_ + tab_ + tab_;
  write(t3 + "<backup>");
  write(t3 + tab_ + "<duration>" + t + "</duration>");
  write(t3 + "</backup>");
  write("<!--=== above measure duration" + std::to_string(k) + " is " + t + " ===-->");
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
