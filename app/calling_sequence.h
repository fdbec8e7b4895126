#pragma once

#include <string_view>

#include "run/context.h"

namespace app {

// Reads and checks the argument string from left to right and fills quoteChar, tabChar, inputPath
// and the group tables. A malformed string ends the run after its report; a STAVESUP= or PART=
// value above 32767 throws base::ArithmeticOverflow.
void readCallingSequence(run::Context& ctx, std::string_view argumentString);

// True when `path` opens as an existing file for reading. Two backslashes in a row anywhere
// (a network path, for one) are never a file, and then nothing is touched.
bool fileExists(run::Context& ctx, std::string_view path);

}  // namespace app
