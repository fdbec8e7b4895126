#include "xmlio/input_open.h"

#include <string>

namespace xmlio {

void opeFileIn(app::Context& ctx, platform::Bool16& s) {
  app::RunState& st = ctx.state;
  platform::FileTable& files = ctx.files;
  platform::FileSystem& fs = files.fileSystem();
  s = platform::kFalse;
  st.inputFileNo = files.freeFile();
  if (st.encodingName == "UTF-16LE" || st.encodingName == "UTF-16BE") {
    std::uint64_t length = 0;
    fs.clearError();
    if (!fs.length(st.inputPath, length)) {
      s = platform::kTrue;
      return;
    }
    st.inputLength = platform::checkedNarrow<std::int32_t>(static_cast<std::int64_t>(length));
    fs.clearError();
    if (!files.open(st.inputFileNo, st.inputPath, platform::Mode::RawIn)) {
      s = platform::kTrue;
      return;
    }
    // The byte-order mark: detection has matched it already, so it is only consumed here.
    for (int k = 0; k < 2; ++k) {
      unsigned char ignored = 0;
      fs.clearError();
      if (files.readByte(st.inputFileNo, ignored) == platform::ReadStatus::Failed) {
        s = platform::kTrue;
        return;
      }
    }
    st.inputLength = platform::add32(st.inputLength, -2);
  } else if (st.encodingName == "UTF-8") {
    fs.clearError();
    if (!files.open(st.inputFileNo, st.inputPath, platform::Mode::TextIn)) {
      s = platform::kTrue;
      return;
    }
  } else {
    app::reportAndEnd(
        ctx, "Unsupported encoding in opeFileIn: " + st.inputPath + "\r\n" + st.encodingName);
  }
  st.inputPosition = 0;
}

}  // namespace xmlio
