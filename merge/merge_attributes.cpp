#include "merge/merge_attributes.h"

#include <string>
#include <string_view>

#include "base/checked.h"
#include "base/text.h"
#include "merge/work_files.h"
#include "xmlio/line_writer.h"

namespace merge {
namespace {

using platform::FileNo;

constexpr std::string_view kTimeEnd = "</time>";
constexpr std::string_view kClefStart = "<clef>";
constexpr std::string_view kClefEnd = "</clef>";
constexpr std::string_view kAttributesEnd = "</attributes>";

// Reads lines into xmlLine through the first one that contains `marker`, writing each when `copy`.
void readThrough(run::Context& ctx, FileNo no, std::string_view name, std::string_view marker,
                 bool copy) {
  merge::readThrough(ctx, no, name, marker, false, ctx.state.xmlLine, [&](std::string_view line) {
    if (copy) xmlio::writeXML(ctx, line);
  });
}

// Copies lines through the first </clef>, rebuilding the opening clef line with the next staff
// number. Its indentation is rebuilt too, so a clef nested oddly still lands at attribute depth.
void copyFirstClef(run::Context& ctx, FileNo no, std::string_view name, std::int16_t& clefCounter) {
  const run::RunState& st = ctx.state;
  merge::readThrough(ctx, no, name, kClefEnd, false, ctx.state.xmlLine, [&](std::string_view line) {
    if (!base::contains(line, kClefStart)) return xmlio::writeXML(ctx, line);
    clefCounter = base::add16(clefCounter, 1);
    xmlio::writeXML(ctx, st.indent(4) + "<clef number=" + st.quoteChar +
                             std::to_string(clefCounter) + st.quoteChar + ">");
  });
}

}  // namespace

void mergeAttributes(run::Context& ctx, const std::string& upperParts) {
  const run::RunState& st = ctx.state;
  const std::string bottomName(kBottomWorkFile);
  const FileNo bottom = openWorkFile(ctx, bottomName, "Failed to open NEW file for input.");
  readThrough(ctx, bottom, bottomName, kTimeEnd, true);

  std::int16_t staves = 1;
  for (const char c : upperParts) {
    if (c == ',') staves = base::add16(staves, 1);
  }
  xmlio::writeXML(ctx, st.indent(4) + "<staves>" + std::to_string(staves) + "</staves>");

  std::int16_t clefCounter = 0;
  std::string_view rest = upperParts;
  while (base::isAllDigits(rest.substr(0, 1))) {
    const std::string name = workFileName(std::to_string(takePartNumber(rest)));
    const FileNo upper = openWorkFile(ctx, name);
    readThrough(ctx, upper, name, kTimeEnd, false);
    copyFirstClef(ctx, upper, name, clefCounter);
    static_cast<void>(ctx.files.close(upper));
    if (!rest.empty()) rest.remove_prefix(1);
  }

  copyFirstClef(ctx, bottom, bottomName, clefCounter);
  readThrough(ctx, bottom, bottomName, kAttributesEnd, true);
  static_cast<void>(ctx.files.close(bottom));
}

}  // namespace merge
