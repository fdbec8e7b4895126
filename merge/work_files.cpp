#include "merge/work_files.h"

#include "base/checked.h"
#include "base/text.h"

namespace merge {
namespace {

// A part number as a member list holds it: enclosed in commas, so that 3 never matches 13.
std::string enclosedInCommas(std::string_view number) {
  std::string text(1, ',');
  addToPartList(text, number);
  return text;
}

}  // namespace

std::string workFileName(std::string_view number) {
  std::string name = "QUILLBRAID_P";
  name += number;
  return name += ".TXT";
}

bool isWorkFileName(std::string_view name) {
  return name.starts_with("QUILLBRAID_") && name.ends_with(".TXT");
}

int memberGroup(const run::RunState& st, std::string_view number) {
  const std::string needle = enclosedInCommas(number);
  for (std::size_t g = 0; g < st.groupInstr.size(); ++g) {
    if (base::contains(st.groupInstr[g], needle)) return static_cast<int>(g);
  }
  return -1;
}

bool isBottomPart(const run::RunState& st, std::string_view number) {
  const double value = base::leadingNumber(number);
  for (std::int16_t part : st.groupPart) {
    if (value == part) return true;
  }
  return false;
}

bool isUpperMember(const run::RunState& st, int g, std::string_view number) {
  // The list without its last number and comma: the bottom part's, written as PART= gives it.
  const std::string& members = st.groupInstr[static_cast<std::size_t>(g)];
  const std::size_t cut = std::to_string(st.groupPart[static_cast<std::size_t>(g)]).size() + 1;
  return cut <= members.size() &&
         base::contains(std::string_view(members).substr(0, members.size() - cut),
                        enclosedInCommas(number));
}

void addToPartList(std::string& list, std::string_view number) {
  list += number;
  list += ',';
}

std::int16_t takePartNumber(std::string_view& list) {
  const std::string_view number = list.substr(0, list.find(','));
  list.remove_prefix(number.size());
  return base::digitsValue16(number);
}

platform::FileNo openWorkFile(run::Context& ctx, const std::string& name, std::string failure,
                              bool reason) {
  const platform::FileNo no = ctx.files.freeFile();
  ctx.files.clearError();
  if (!ctx.files.open(no, name, platform::Mode::TextIn)) {
    if (failure.empty()) failure = "Failed to open file " + name;
    if (reason) failure += "\r\n" + ctx.fileSystem.lastError().text;
    run::reportAndEnd(ctx, failure);
  }
  return no;
}

bool readWorkLine(run::Context& ctx, platform::FileNo no, std::string_view name,
                  std::string& line) {
  ctx.files.clearError();
  switch (ctx.files.readLine(no, line)) {
    case platform::ReadStatus::Ok:
      return true;
    case platform::ReadStatus::End:
      return false;
    case platform::ReadStatus::Failed:
      break;
  }
  reportReadFailure(ctx, name);
}

void reportReadFailure(run::Context& ctx, std::string_view name) {
  run::reportAndEnd(
      ctx, "Failed to read " + std::string(name) + "\r\n" + ctx.fileSystem.lastError().text);
}

}  // namespace merge

namespace merge {

void reportEndedBefore(run::Context& ctx, std::string_view name, std::string_view marker) {
  marker.remove_prefix(std::min(marker.size(), marker.find_first_not_of(ctx.state.tabChar)));
  run::reportAndEnd(ctx, "Work file " + std::string(name) + " ended before " + std::string(marker) +
                             ". Run aborted");
}

}  // namespace merge
