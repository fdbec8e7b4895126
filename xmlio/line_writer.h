#pragma once

#include <string_view>

#include "run/context.h"

namespace xmlio {

// Reports a failed write or close of `no` and ends the run; `name` is the file's name.
[[noreturn]] void reportWriteFailure(run::Context& ctx, std::string_view name);

// Writes `line` + CR LF to the work file or output `no`, reporting a failure. Every line of a
// part goes through here or writeXML, so both are inline.
inline void writeLineOrEnd(run::Context& ctx, platform::FileNo no, std::string_view line) {
  if (!ctx.files.writeLine(no, line)) [[unlikely]]
    reportWriteFailure(ctx, ctx.files.name(no));
}

// writeXML for an output other than UTF-8: UTF-16LE (the byte-order mark first, when
// outputRecordCount is 1), or the UTF-8 that a UTF-16BE input gives.
void writeEncodedXML(run::Context& ctx, std::string_view line);

// Appends one line to the output file (outputFileNo) in the output encoding, followed by its line
// end, and counts it in outputRecordCount. UTF-16LE output gets its byte-order mark before the
// first line. A failed write ends the run after the report "Failed to write " + the file's name.
inline void writeXML(run::Context& ctx, std::string_view line) {
  run::RunState& st = ctx.state;
  st.outputRecordCount = base::add32(st.outputRecordCount, 1);
  if (st.encodingName == run::Encoding::UTF8) {
    writeLineOrEnd(ctx, st.outputFileNo, line);
  } else {
    writeEncodedXML(ctx, line);
  }
}

// Closes `no`, reporting a failure to write out its last bytes.
void closeOrEnd(run::Context& ctx, platform::FileNo no);

}  // namespace xmlio
