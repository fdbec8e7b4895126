#pragma once

#include <string_view>

#include "app/context.h"

namespace xmlio {

// Appends one line to the output file (outputFileNo) in the output encoding, followed by its line
// end, and counts it in outputRecordCount. UTF-16LE output gets its byte-order mark before the
// first line. A failed write ends the run after the report "Failed to write " + the file's name.
void writeXML(app::Context& ctx, std::string_view s);

// Reports a failed write or close of `no` and ends the run; `name` is the file's name.
[[noreturn]] void reportWriteFailure(app::Context& ctx, std::string_view name);

// Writes `line` + CR LF to the work file or output `no`, reporting a failure.
void writeLineOrEnd(app::Context& ctx, platform::FileNo no, std::string_view line);

// Closes `no`, reporting a failure to write out its last bytes.
void closeOrEnd(app::Context& ctx, platform::FileNo no);

}  // namespace xmlio
