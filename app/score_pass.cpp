#include "app/score_pass.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/line_shape.h"
#include "base/text.h"
#include "merge/group_facts.h"
#include "merge/merge_attributes.h"
#include "merge/merge_part.h"
#include "merge/work_files.h"
#include "xmlio/encoding.h"
#include "xmlio/input_open.h"
#include "xmlio/line_reader.h"
#include "xmlio/line_writer.h"

namespace app {
namespace {

using platform::FileNo;

constexpr std::string_view kOutputName = "QUILLBRAID.XML";

enum class IdStatus { Ok, PMissing, NoClosingQuote };

// The part number of a part or score-part start line: after the first `tag` and the character
// that opens the attribute value, a "P", then everything up to the next double quotation mark.
IdStatus partNumber(std::string_view line, std::string_view tag, std::string& number) {
  const std::size_t at = line.find(tag);
  const std::size_t p = at + tag.size() + 1;
  if (at == std::string_view::npos || p >= line.size() || line[p] != 'P') {
    return IdStatus::PMissing;
  }
  const std::size_t quote = line.find('"', p + 1);
  if (quote == std::string_view::npos) return IdStatus::NoClosingQuote;
  number.assign(line.substr(p + 1, quote - p - 1));
  return IdStatus::Ok;
}

// True when `path` names a file that the run empties while it still reads the score: the output or
// a work file in the current folder. Case is ignored, as it is on the system the converter runs on.
bool isOwnFile(std::string_view path) {
  const std::string name = base::upperCaseASCII(base::fileName(path));
  std::string_view folder = path.substr(0, path.size() - name.size());
  while (folder.starts_with(".\\") || folder.starts_with("./")) folder.remove_prefix(2);
  if (!folder.empty()) return false;
  return name == kOutputName || merge::isWorkFileName(name);
}

class ScorePass {
 public:
  explicit ScorePass(run::Context& ctx) : ctx_(ctx), st_(ctx.state) {}

  void run() {
    if (isOwnFile(st_.inputPath)) {
      run::reportAndEnd(
          ctx_, "Input file is a file that Quillbraid writes: " + st_.inputPath + ". Run aborted");
    }
    st_.outputRecordCount = 0;
    xmlio::establishEncoding(ctx_);
    run::Bool16 failed = run::kFalse;
    xmlio::opeFileIn(ctx_, failed);
    if (failed != run::kFalse) {
      static_cast<void>(
          ctx_.dialogs.show("Input file open error: " + st_.inputPath, platform::kBoxStop));
      return;
    }
    lockWorkingFolder();
    st_.outputFileNo = ctx_.files.freeFile();
    if (!ctx_.files.open(st_.outputFileNo, kOutputName, platform::Mode::TextOut)) {
      static_cast<void>(ctx_.dialogs.show("Output file open error", platform::kBoxStop));
      return;
    }
    tab_ = st_.tabChar.front();
    base::indent(partStart_, 1, tab_).append("<part id=");
    base::indent(partEnd_, 1, tab_).append("</part>");
    copyHeader();
    collectPartList();
    rewritePartList();
    takeParts();
    finish();
  }

 private:
  // The work files and the output have fixed names in the current folder, so a second run there
  // would spoil the first one's. The lock lives on a handle of its own on the output, opened
  // without emptying it, and goes with the process, so a crashed run never blocks the next.
  // When no lock can be had for any other reason, creating the output reports the trouble.
  void lockWorkingFolder() {
    platform::FileSystem& fs = ctx_.fileSystem;
    folderLock_ = fs.open(kOutputName, platform::Access::WriteKeep);
    if (folderLock_ && !folderLock_->tryLock()) {
      folderLock_.reset();
      run::reportAndEnd(ctx_, "Another Quillbraid run is working in this folder. Run aborted");
    }
  }

  // Reads the next line into xmlLine; at the end of input, ends the run with `endMessage`.
  void readOrEnd(std::string_view endMessage) {
    run::Bool16 eofile = run::kFalse;
    xmlio::inputXMLline(ctx_, st_.xmlLine, eofile, perc_);
    if (eofile != run::kFalse) run::reportAndEnd(ctx_, endMessage);
  }
  void readNonEmptyOrEnd(std::string_view endMessage) {
    do {
      readOrEnd(endMessage);
    } while (st_.xmlLine.empty());
  }
  // The next line of a part, viewed where the reader holds it until the next read; the end of
  // input ends the run. Parts are the bulk of a score, so their lines are not copied.
  std::string_view nextPartLine() {
    std::string_view line;
    run::Bool16 eofile = run::kFalse;
    xmlio::inputXMLlineView(ctx_, line, eofile, perc_);
    if (eofile != run::kFalse) run::reportAndEnd(ctx_, kPartEnd);
    return line;
  }
  [[noreturn]] void lineError(std::string_view literal) {
    run::reportAndEnd(ctx_, st_.xmlLine + "\r\n" + std::string(literal));
  }

  bool isTabbed(std::string_view line, std::string_view tag) const {
    return base::shapeOf(line, tab_).is(1, tag);
  }

  void copyHeader() {
    do {
      readNonEmptyOrEnd("Reached end-of-file before <part-list>. Run aborted");
      // A UTF-16BE input comes out as UTF-8: a result that must be read as it declares itself
      // says so in its declaration, the first line.
      if (st_.validOutput && st_.encodingName == run::Encoding::UTF16BE &&
          st_.outputRecordCount == 0 && st_.xmlLine.starts_with("<?xml")) {
        st_.xmlLine = xmlio::declaringUTF8(st_.xmlLine);
      }
      xmlio::writeXML(ctx_, st_.xmlLine);
    } while (!isTabbed(st_.xmlLine, "<part-list>"));
  }

  void collectPartList() {
    for (;;) {
      readNonEmptyOrEnd("Reached end-of-file before </part-list>. Run aborted");
      if (isTabbed(st_.xmlLine, "</part-list>")) return;
      partList_.push_back(st_.xmlLine);
    }
  }

  // Drops the score-part elements of every group member before its group's last, then writes
  // the list and its end line.
  void rewritePartList() {
    std::vector<bool> removed(partList_.size(), false);
    std::string number;
    for (std::size_t i = 0; i < partList_.size(); ++i) {
      const std::string& entry = partList_[i];
      if (!base::contains(entry, "<score-part id=")) continue;
      if (partNumber(entry, "<score-part id=", number) != IdStatus::Ok) continue;
      const int g = merge::memberGroup(st_, number);
      if (g < 0 || !merge::isUpperMember(st_, g, number)) continue;
      for (; i < partList_.size(); ++i) {
        removed[i] = true;
        if (base::contains(partList_[i], "</score-part>")) break;
      }
    }
    for (std::size_t i = 0; i < partList_.size(); ++i) {
      if (!removed[i]) xmlio::writeXML(ctx_, partList_[i]);
    }
    partList_.clear();
    xmlio::writeXML(ctx_, st_.xmlLine);
  }

  void takeParts() {
    std::string number;
    for (;;) {
      readNonEmptyOrEnd(kPartEnd);
      if (st_.xmlLine == "</score-partwise>") return checkNothingPending();
      if (st_.xmlLine.find(partStart_) == std::string::npos) {
        lineError("Input sequence error. Expected <part id='Px'>. Run aborted");
      }
      switch (partNumber(st_.xmlLine, "<part id=", number)) {
        case IdStatus::PMissing:
          lineError("Input error. P missing in expected <part id='Px'>. Run aborted");
        case IdStatus::NoClosingQuote:
          lineError("Input error. Format error in <part id='Px'>. Run aborted");
        case IdStatus::Ok:
          break;
      }
      const int group = merge::memberGroup(st_, number);
      if (group < 0) {
        copyPart();
        continue;
      }
      const bool bottom = merge::isBottomPart(st_, number);
      merge::MemberFacts facts(tab_, !bottom);
      if (!bottom) {
        savePart(merge::workFileName(number), facts);
        pending_.push_back(Pending{number, group, std::move(facts)});
      } else {
        savePart(std::string(merge::kBottomWorkFile), facts);
        mergeGroup(group, number, std::move(facts));
      }
    }
  }

  // Merges the parts waiting for this bottom part: all of them, as the converter's callers expect;
  // with validOutput only its own group's, so that no part becomes a staff of another instrument.
  void mergeGroup(int group, const std::string& bottom, merge::MemberFacts bottomFacts) {
    std::string upperParts;
    std::vector<merge::MemberFacts> staves;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (st_.validOutput && it->group != group) {
        ++it;
        continue;
      }
      merge::addToPartList(upperParts, it->number);
      staves.push_back(std::move(it->facts));
      it = pending_.erase(it);
    }
    staves.push_back(std::move(bottomFacts));
    const merge::GroupFacts facts =
        st_.validOutput ? merge::GroupFacts(std::move(staves), tab_) : merge::GroupFacts{};
    merge::mergeAttributes(ctx_, upperParts, facts);
    std::string groupParts = upperParts;
    merge::addToPartList(groupParts, bottom);
    merge::mergePart(ctx_, groupParts, facts);
  }

  // A part that no bottom part took would be missing from the result: with validOutput that ends
  // the run, the score as it was.
  void checkNothingPending() {
    if (!st_.validOutput || pending_.empty()) return;
    run::reportAndEnd(ctx_, "Part P" + pending_.front().number +
                                " was not merged: no bottom part of its group follows it. Run "
                                "aborted");
  }

  // A part in no group goes to the output as it comes, without its empty lines.
  void copyPart() {
    xmlio::writeXML(ctx_, st_.xmlLine);
    for (std::string_view line; line != partEnd_;) {
      line = nextPartLine();
      if (!line.empty()) xmlio::writeXML(ctx_, line);
    }
  }

  // A member part goes to its work file whole, empty lines included; with validOutput, `facts`
  // learns from every line on the way.
  void savePart(const std::string& name, merge::MemberFacts& facts) {
    platform::LineWatcher* watcher = st_.validOutput ? &facts : nullptr;
    const FileNo no = ctx_.files.freeFile();
    if (!ctx_.files.open(no, name, platform::Mode::TextOut)) {
      run::reportAndEnd(ctx_, "Failed to open workfile for output: " + name);
    }
    xmlio::writeLineOrEnd(ctx_, no, st_.xmlLine);
    if (st_.xmlLine != partEnd_) {
      run::Bool16 eofile = run::kFalse;
      xmlio::copyXMLlines(ctx_, no, partEnd_, eofile, perc_, watcher);
      if (eofile != run::kFalse) run::reportAndEnd(ctx_, kPartEnd);
    }
    xmlio::closeOrEnd(ctx_, no);
  }

  // Writes the end line, then puts the result in the input's place with the input kept as its
  // backup. The whole result is copied beside the input first, given the input's permissions and
  // put on the disk, and only then do names change, so the input's path holds the original or the
  // whole result at every moment, a power cut included. A failure here is not reported (the exit
  // status tells it) and leaves the input as it was, with no new backup.
  void finish() {
    xmlio::writeXML(ctx_, st_.xmlLine);
    xmlio::closeOrEnd(ctx_, st_.outputFileNo);
    static_cast<void>(ctx_.files.close(st_.inputFileNo));
    platform::FileSystem& fs = ctx_.fileSystem;
    const std::string& input = st_.inputPath;
    const std::string backup = input + "org";
    const std::string temporary = input + ".QUILLBRAID.TMP";
    const auto giveUp = [&] {
      static_cast<void>(fs.remove(temporary));
      platform::endRun(1);
    };
    if (!fs.copy(kOutputName, temporary) || !fs.copyPermissions(input, temporary) ||
        !fs.syncFile(temporary)) {
      giveUp();
    }
    // The backup is a second name of the input; one left by an earlier run is kept.
    std::uint64_t ignored = 0;
    const bool linked = fs.link(input, backup);
    if (linked || fs.length(backup, ignored)) {
      if (!fs.rename(temporary, input, true)) {
        if (linked) static_cast<void>(fs.remove(backup));
        giveUp();
      }
      // Until the folder's names are on the disk, the input's name may still lead to the original
      // after a power cut; should they not get there, the original takes its name back.
      if (fs.syncFolderOf(input)) platform::endRun(0);
      if (linked) static_cast<void>(fs.rename(backup, input, true));
      platform::endRun(1);
    }
    // No hard links here (FAT, exFAT, some network shares): the input takes the backup's name and
    // the result the input's at once; should the second rename or the folder's sync fail, the
    // input gets its name back.
    if (!fs.rename(input, backup, false)) giveUp();
    if (fs.rename(temporary, input, false) && fs.syncFolderOf(input)) platform::endRun(0);
    static_cast<void>(fs.rename(backup, input, true));
    giveUp();
  }

  static constexpr std::string_view kPartEnd = "Reached end-of-file before </part>. Run aborted";

  // A member part waiting for its group's bottom part, and what its work file holds.
  struct Pending {
    std::string number;
    int group;
    merge::MemberFacts facts;
  };

  run::Context& ctx_;
  run::RunState& st_;
  char tab_ = '\t';
  std::string partStart_, partEnd_;
  std::vector<Pending> pending_;
  std::int32_t perc_ = 0;
  std::vector<std::string> partList_;
  std::unique_ptr<platform::File> folderLock_;
};

}  // namespace

void scorePass(run::Context& ctx) { ScorePass(ctx).run(); }

}  // namespace app
