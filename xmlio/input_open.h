#pragma once

#include "run/context.h"

namespace xmlio {

// Opens inputPath as inputFileNo for the line reader in the way encodingName requires: UTF-16 as
// raw bytes with the byte-order mark consumed and inputLength = bytes after it; UTF-8 for line
// reading from the first byte. inputPosition = 0. On a failing step `failed` is true and nothing is
// reported.
void opeFileIn(run::Context& ctx, run::Bool16& failed);

}  // namespace xmlio
