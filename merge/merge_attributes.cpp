#include "merge/merge_attributes.h"

#include <string>
#include <string_view>

#include "app/calling_sequence.h"
#include "platform/checked.h"
#include "xmlio/line_writer.h"

namespace merge {
namespace {

using platform::FileNo;

constexpr std::string_view kTimeEnd = "</time>";
constexpr std::string_view kClefStart = "<clef>";
constexpr std::string_view kClefEnd = "</clef>";
constexpr std::string_view kAttributesEnd = "</attributes>";

bool contains(std::string_view line, std::string_view text) {
  return line.find(text) != std::string_view::npos;
}

// Reads lines into xmlLine through the first one that contains `marker`, writing each when `copy`.
void readThrough(app::Context& ctx, FileNo no, std::string_view name, std::string_view marker,
                 bool copy) {
  std::string& line = ctx.state.xmlLine;
  do {
    if (!readWorkLine(ctx, no, name, line)) reportEndedBefore(ctx, name, marker);
    if (copy) xmlio::writeXML(ctx, line);
  } while (!contains(line, marker));
}

// Copies lines through the first </clef>, rebuilding the opening clef line with the next staff
// number. Its indentation is rebuilt too, so a clef nested oddly still lands at attribute depth.
void copyFirstClef(app::Context& ctx, FileNo no, std::string_view name, std::int16_t& clefCounter) {
  const app::RunState& s = ctx.state;
  std::string& line = ctx.state.xmlLine;
  do {
    if (!readWorkLine(ctx, no, name, line)) reportEndedBefore(ctx, name, kClefEnd);
    if (contains(line, kClefStart)) {
      clefCounter = platform::add16(clefCounter, 1);
      xmlio::writeXML(ctx, s.tabChar + s.tabChar + s.tabChar + s.tabChar + "<clef number=" +
                               s.quoteChar + std::to_string(clefCounter) + s.quoteChar + ">");
    } else {
      xmlio::writeXML(ctx, line);
    }
  } while (!contains(line, kClefEnd));
}

}  // namespace

std::string upperWorkFileName(std::int16_t partNumber) {
  return "QUILLBRAID_P" + std::to_string(partNumber) + ".TXT";
}

std::int16_t takePartNumber(std::string_view& list) {
  std::int16_t value = 0;
  while (!list.empty() && list.front() != ',') {
    const int digit = static_cast<unsigned char>(list.front()) - 48;
    value = platform::checkedNarrow<std::int16_t>(std::int64_t{value} * 10 + digit);
    list.remove_prefix(1);
  }
  return value;
}

bool readWorkLine(app::Context& ctx, FileNo no, std::string_view name, std::string& line) {
  ctx.files.clearError();
  switch (ctx.files.readLine(no, line)) {
    case platform::ReadStatus::Ok:
      return true;
    case platform::ReadStatus::End:
      return false;
    case platform::ReadStatus::Failed:
      break;
  }
  app::reportAndEnd(ctx, "Failed to read " + std::string(name) + "\r\n" +
                             ctx.files.fileSystem().lastError().text);
}

void reportEndedBefore(app::Context& ctx, std::string_view name, std::string_view missing) {
  app::reportAndEnd(ctx, "Work file " + std::string(name) + " ended before " +
                             std::string(missing) + ". Run aborted");
}

void mergeAttributes(app::Context& ctx, const std::string& upperParts) {
  app::RunState& s = ctx.state;
  const FileNo bottom = ctx.files.freeFile();
  if (!ctx.files.open(bottom, kBottomWorkFile, platform::Mode::TextIn)) {
    app::reportAndEnd(ctx, "Failed to open NEW file for input.");
  }
  readThrough(ctx, bottom, kBottomWorkFile, kTimeEnd, true);

  std::int16_t staves = 1;
  for (const char c : upperParts) {
    if (c == ',') staves = platform::add16(staves, 1);
  }
  s.staffCount = staves;
  xmlio::writeXML(ctx, s.tabChar + s.tabChar + s.tabChar + s.tabChar + "<staves>" +
                           std::to_string(staves) + "</staves>");

  std::int16_t clefCounter = 0;
  std::string_view rest = upperParts;
  while (app::isAllDigits(rest.substr(0, 1))) {
    const std::string name = upperWorkFileName(takePartNumber(rest));
    const FileNo upper = ctx.files.freeFile();
    if (!ctx.files.open(upper, name, platform::Mode::TextIn)) {
      app::reportAndEnd(ctx, "Failed to open file " + name);
    }
    readThrough(ctx, upper, name, kTimeEnd, false);
    copyFirstClef(ctx, upper, name, clefCounter);
    static_cast<void>(ctx.files.close(upper));
    if (!rest.empty()) rest.remove_prefix(1);
  }

  copyFirstClef(ctx, bottom, kBottomWorkFile, clefCounter);
  readThrough(ctx, bottom, kBottomWorkFile, kAttributesEnd, true);
  static_cast<void>(ctx.files.close(bottom));
}

}  // namespace merge
