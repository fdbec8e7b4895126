#pragma once

#include "run/context.h"

namespace app {

// The one pass over the score: header, part list, parts, merges, and the result put in the input's
// place with the input kept as inputPath + "org". Ends the run, except after the two open failures.
void scorePass(run::Context& ctx);

}  // namespace app
