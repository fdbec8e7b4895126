#pragma once

#include <string>

#include "app/context.h"

namespace xmlio {

// Delivers the next input line as UTF-8 bytes without its line end in `i`, with `eofile` false;
// or `eofile` true, `i` and `perc` unchanged, when the input is exhausted or a read failure has
// been reported (information box). UTF-16 lines, and UTF-8 lines while the progress figure `perc`
// can be computed, go through normaliseLine. An unknown encoding name ends the run.
void inputXMLline(app::Context& ctx, std::string& i, platform::Bool16& eofile, std::int32_t& perc);

// The fixed replacements, in order: apostrophes to double quotes (only when `apostropheQuoted`),
// perc capped at 100, LF to space, "&amp;" to "&", "&apos;" to "'", " = " to "=". Each replacement
// repeats from the line's start until none is left, so text it makes is searched again.
void normaliseLine(std::string& line, platform::Bool16 apostropheQuoted, std::int32_t& perc);

}  // namespace xmlio
