#pragma once

#include "app/context.h"

namespace xmlio {

// Decides encodingName ("UTF-16LE", "UTF-8" or "UTF-16BE") and apostropheQuoted from the first
// 1000 bytes of inputPath, asking the user where the bytes do not decide, and writes the repair
// copy "KESTRINBAY.WRK" beside a UTF-8 input whose records end in LF only, if the user agrees.
// Leaves no file open; ends the run on an open failure or a No.
void establishEncoding(app::Context& ctx);

}  // namespace xmlio
