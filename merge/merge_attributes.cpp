#include "merge/merge_attributes.h"

#include <string>
#include <string_view>

#include "base/checked.h"
#include "base/line_shape.h"
#include "base/text.h"
#include "merge/line_rules.h"
#include "merge/work_files.h"
#include "xmlio/line_writer.h"

namespace merge {
namespace {

using platform::FileNo;

constexpr std::string_view kTimeEnd = "</time>";
constexpr std::string_view kClefStart = "<clef>";
constexpr std::string_view kClefEnd = "</clef>";
constexpr std::string_view kAttributesEnd = "</attributes>";

// Reads lines into xmlLine through the first one that contains `marker`, handing each to `each`.
template <class Each>
void readThrough(run::Context& ctx, FileNo no, std::string_view name, std::string_view marker,
                 Each each) {
  merge::readThrough(ctx, no, name, marker, false, ctx.state.xmlLine, each);
}

std::int16_t countStaves(const std::string& upperParts) {
  std::int16_t staves = 1;
  for (const char c : upperParts) {
    if (c == ',') staves = base::add16(staves, 1);
  }
  return staves;
}

// The opening as the converter's callers expect its bytes: the bottom part's attributes, a staves
// count, and the first clef of every part numbered in turn.
class DescribedOpening {
 public:
  explicit DescribedOpening(run::Context& ctx) : ctx_(ctx) {}

  void throughTime(FileNo no, std::string_view name) { copyThrough(no, name, kTimeEnd); }
  void beforeClefs(FileNo, std::string_view) {}
  void rest(FileNo no, std::string_view name) { copyThrough(no, name, kAttributesEnd); }

  // Copies lines through the first </clef>, the clef's opening line rebuilt with the next staff
  // number. Its indentation is rebuilt too, so a clef nested oddly still lands at attribute depth.
  void clef(FileNo no, std::string_view name) {
    readThrough(ctx_, no, name, kClefEnd, [&](std::string_view line) {
      if (!base::contains(line, kClefStart)) return xmlio::writeXML(ctx_, line);
      counter_ = base::add16(counter_, 1);
      xmlio::writeXML(ctx_, clefLine(built_, counter_, ctx_.state));
    });
  }

 private:
  void copyThrough(FileNo no, std::string_view name, std::string_view marker) {
    readThrough(ctx_, no, name, marker,
                [&](std::string_view line) { xmlio::writeXML(ctx_, line); });
  }

  run::Context& ctx_;
  std::int16_t counter_ = 0;
  std::string built_;
};

// The opening for QUILLBRAID_OUTPUT=valid: no empty lines, the members' common divisions, and
// where the members' first keys, times or staff details differ, each member's own, numbered for
// its staff, in the place and order the schema wants.
class ValidOpening {
 public:
  ValidOpening(run::Context& ctx, const GroupFacts& facts)
      : ctx_(ctx), facts_(facts), tab_(ctx.state.tabChar.front()) {}

  // The bottom part through its time: its divisions made the common ones, its key and time
  // replaced by every member's where they differ.
  void throughTime(FileNo no, std::string_view name) {
    bool keysDue = facts_.keysDiffer;
    readThrough(ctx_, no, name, kTimeEnd, [&](std::string_view line) {
      if (line.empty() || skipping(line)) return;
      const base::LineShape shape = base::shapeOf(line, tab_);
      std::string_view digits;
      if (facts_.keysDiffer && shape.opens("key")) {
        if (keysDue) writeBlocks(&MemberFacts::key, "key");
        keysDue = false;
        return skip(line, shape, "</key>");
      }
      if (keysDue && shape.opens("time")) {
        writeBlocks(&MemberFacts::key, "key");
        keysDue = false;
      }
      if (facts_.timesDiffer && shape.opens("time")) {
        writeBlocks(&MemberFacts::time, "time");
        return skip(line, shape, "</time>");
      }
      if (facts_.divisions != 0 &&
          plainNumber(shape.rest, "<divisions>", "</divisions>", false, digits)) {
        line = withValue(built_, line, digits, facts_.divisions);
      }
      xmlio::writeXML(ctx_, line);
    });
    if (keysDue) writeBlocks(&MemberFacts::key, "key");
  }

  // The bottom part's lines between its time and its clef (instruments, a part symbol) stand
  // before every clef, where the schema wants them; a staves count of its own would be a second.
  void beforeClefs(FileNo no, std::string_view name) {
    std::string& line = ctx_.state.xmlLine;
    for (;;) {
      if (!readWorkLine(ctx_, no, name, line)) reportEndedBefore(ctx_, name, kClefEnd);
      if (line.empty()) continue;
      const base::LineShape shape = base::shapeOf(line, tab_);
      if (shape.opens("clef")) break;
      if (!shape.opens("staves")) xmlio::writeXML(ctx_, line);
    }
    bottomClef_ = line;
    bottom_ = no;
  }

  // A part's first clef, numbered for its staff. An upper part's lines before it are its own
  // (its instruments, a part symbol) and stay out.
  void clef(FileNo no, std::string_view name) {
    bool inClef = false;
    const auto take = [&](std::string_view line) {
      if (line.empty()) return;
      const base::LineShape shape = base::shapeOf(line, tab_);
      if (shape.opens("clef")) {
        inClef = true;
        counter_ = base::add16(counter_, 1);
        line = numberedTag(built_, line, shape, "clef", counter_, ctx_.state);
      }
      if (inClef) xmlio::writeXML(ctx_, line);
    };
    if (no == bottom_) {
      take(bottomClef_);
      if (base::contains(bottomClef_, kClefEnd)) return;
    }
    readThrough(ctx_, no, name, kClefEnd, take);
  }

  // The rest of the bottom part's first attributes, with every member's staff details in the
  // place of its own first ones (where it has none, where the schema wants them).
  void rest(FileNo no, std::string_view name) {
    bool detailsDue = facts_.detailsDiffer;
    readThrough(ctx_, no, name, kAttributesEnd, [&](std::string_view line) {
      if (line.empty() || skipping(line)) return;
      const base::LineShape shape = base::shapeOf(line, tab_);
      if (facts_.detailsDiffer && shape.opens("staff-details")) {
        if (detailsDue) {
          writeBlocks(&MemberFacts::staffDetails, "staff-details");
          detailsDue = false;
          return skip(line, shape, "</staff-details>");
        }
        line = numberedTag(built_, line, shape, "staff-details",
                           static_cast<std::int64_t>(facts_.members.size()), ctx_.state);
      } else if (detailsDue &&
                 (shape.opens("transpose") || shape.opens("for-part") || shape.opens("directive") ||
                  shape.opens("measure-style") || base::contains(line, kAttributesEnd))) {
        writeBlocks(&MemberFacts::staffDetails, "staff-details");
        detailsDue = false;
      }
      xmlio::writeXML(ctx_, line);
    });
  }

 private:
  // A block of the bottom part that the members' blocks replace is left out through its end.
  void skip(std::string_view line, const base::LineShape& shape, std::string_view closing) {
    if (!shape.rest.ends_with("/>") && !base::contains(line, closing)) skipping_ = closing;
  }
  bool skipping(std::string_view line) {
    if (skipping_.empty()) return false;
    if (base::contains(line, skipping_)) skipping_ = {};
    return true;
  }

  void writeBlocks(Block MemberFacts::*which, std::string_view name) {
    for (std::size_t staff = 1; staff <= facts_.members.size(); ++staff) {
      const Block& block = facts_.members[staff - 1].*which;
      for (std::size_t k = 0; k < block.size(); ++k) {
        const std::string_view line = block[k];
        xmlio::writeXML(ctx_, k != 0 ? line
                                     : numberedTag(built_, line, base::shapeOf(line, tab_), name,
                                                   static_cast<std::int64_t>(staff), ctx_.state));
      }
    }
  }

  run::Context& ctx_;
  const GroupFacts& facts_;
  char tab_;
  std::int16_t counter_ = 0;
  std::string built_;
  std::string bottomClef_;  // the bottom part's clef line, read before the upper parts' clefs
  FileNo bottom_ = 0;
  std::string_view skipping_;  // the closing tag of a block being left out
};

void writeStaves(run::Context& ctx, std::int16_t staves) {
  std::string line;
  base::indent(line, 4, ctx.state.tabChar.front()).append("<staves>");
  appendNumber(line, staves);
  xmlio::writeXML(ctx, line.append("</staves>"));
}

// The bottom part through its time, the staves count, the upper parts' first clefs, the bottom
// part's clef and the rest of its first attributes, in that order.
template <class Opening>
void writeOpening(run::Context& ctx, const std::string& upperParts, Opening& opening) {
  const std::string bottomName(kBottomWorkFile);
  const FileNo bottom = openWorkFile(ctx, bottomName, "Failed to open NEW file for input.");
  opening.throughTime(bottom, bottomName);
  writeStaves(ctx, countStaves(upperParts));
  opening.beforeClefs(bottom, bottomName);
  std::string_view list = upperParts;
  while (base::isAllDigits(list.substr(0, 1))) {
    const std::string name = workFileName(std::to_string(takePartNumber(list)));
    const FileNo upper = openWorkFile(ctx, name);
    readThrough(ctx, upper, name, kTimeEnd, [](std::string_view) {});
    opening.clef(upper, name);
    static_cast<void>(ctx.files.close(upper));
    if (!list.empty()) list.remove_prefix(1);
  }
  opening.clef(bottom, bottomName);
  opening.rest(bottom, bottomName);
  static_cast<void>(ctx.files.close(bottom));
}

}  // namespace

void mergeAttributes(run::Context& ctx, const std::string& upperParts, const GroupFacts& facts) {
  if (ctx.state.validOutput) {
    ValidOpening opening(ctx, facts);
    return writeOpening(ctx, upperParts, opening);
  }
  DescribedOpening opening(ctx);
  writeOpening(ctx, upperParts, opening);
}

}  // namespace merge
