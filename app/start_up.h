#pragma once

#include <string_view>

#include "run/context.h"

namespace app {

// The start-up routine: reads the calling sequence, then makes the score pass. Returns only after
// the two open failures; every other way out ends the run by throwing platform::RunEnded.
void startUp(run::Context& ctx, std::string_view argumentString);

// The whole program on `ctx`: the start-up routine, then the main window when it returns, and the
// report of an overflow or of exhausted memory. Closes every file; returns the exit status.
int runProgram(run::Context& ctx, std::string_view argumentString);

}  // namespace app
