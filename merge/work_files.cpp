#include "merge/work_files.h"

#include "base/checked.h"

namespace merge {

std::string workFileName(std::string_view number) {
  std::string name = "QUILLBRAID_P";
  name += number;
  return name += ".TXT";
}

std::int16_t takePartNumber(std::string_view& list) {
  std::int16_t value = 0;
  while (!list.empty() && list.front() != ',') {
    const int digit = static_cast<unsigned char>(list.front()) - 48;
    value = base::checkedNarrow<std::int16_t>(std::int64_t{value} * 10 + digit);
    list.remove_prefix(1);
  }
  return value;
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
  run::reportAndEnd(ctx, "Failed to read " + std::string(name) + "\r\n" +
                             ctx.files.fileSystem().lastError().text);
}

void reportEndedBefore(run::Context& ctx, std::string_view name, std::string_view missing) {
  run::reportAndEnd(ctx, "Work file " + std::string(name) + " ended before " +
                             std::string(missing) + ". Run aborted");
}

}  // namespace merge
