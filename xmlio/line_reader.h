#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "run/context.h"

namespace xmlio {

// Delivers the next input line as UTF-8 bytes without its line end in `line`, with `eofile`
// false; or `eofile` true, `line` and `perc` unchanged, when the input is exhausted or a read
// failure has been reported (information box). UTF-16 lines, and UTF-8 lines while the progress
// figure `perc` can be computed, are normalised: apostrophes to double quotes (when
// apostropheQuoted), LF to a blank, "&amp;" to "&" and "&apos;" to "'" (not with validOutput),
// " = " to "=", each repeated from the line's start.
void inputXMLline(run::Context& ctx, std::string& line, run::Bool16& eofile, std::int32_t& perc);

// inputXMLline without the copy: `line` views the next line where it lies, in the input's buffer
// or in a line of the reader's own, until the next read of the input.
void inputXMLlineView(run::Context& ctx, std::string_view& line, run::Bool16& eofile,
                      std::int32_t& perc);

// Writes the next input lines, each followed by CR LF, to the open file `out` through the first
// that equals `last`, as reading them one by one with inputXMLline and writing each would; eofile
// as inputXMLline sets it. A failed write is reported and ends the run. `watcher`, when given,
// sees every line written.
void copyXMLlines(run::Context& ctx, platform::FileNo out, std::string_view last,
                  run::Bool16& eofile, std::int32_t& perc,
                  platform::LineWatcher* watcher = nullptr);

}  // namespace xmlio
