#include "xmlio/input_open.h"

namespace xmlio {
namespace {

// UTF-16: the length, the open, and the two bytes of the byte-order mark, each step guarded.
bool openUTF16(run::Context& ctx) {
  run::RunState& st = ctx.state;
  platform::FileSystem& fs = ctx.fileSystem;
  std::uint64_t length = 0;
  fs.clearError();
  if (!fs.length(st.inputPath, length)) return false;
  st.inputLength = base::checkedNarrow<std::int32_t>(static_cast<std::int64_t>(length));
  fs.clearError();
  if (!ctx.files.open(st.inputFileNo, st.inputPath, platform::Mode::RawIn)) return false;
  // Detection has matched the byte-order mark already, so it is only consumed here.
  for (int k = 0; k < 2; ++k) {
    unsigned char ignored = 0;
    fs.clearError();
    if (ctx.files.readByte(st.inputFileNo, ignored) == platform::ReadStatus::Failed) return false;
  }
  st.inputLength = base::add32(st.inputLength, -2);
  return true;
}

}  // namespace

void opeFileIn(run::Context& ctx, run::Bool16& failed) {
  run::RunState& st = ctx.state;
  failed = run::kFalse;
  st.inputFileNo = ctx.files.freeFile();
  bool opened = false;
  switch (st.encodingName) {
    case run::Encoding::UTF16LE:
    case run::Encoding::UTF16BE:
      opened = openUTF16(ctx);
      break;
    case run::Encoding::UTF8:
      ctx.files.clearError();
      opened = ctx.files.open(st.inputFileNo, st.inputPath, platform::Mode::TextIn);
      break;
  }
  if (!opened) {
    failed = run::kTrue;
    return;
  }
  st.inputPosition = 0;
}

}  // namespace xmlio
