#pragma once

#include <string>

#include "merge/group_facts.h"
#include "run/context.h"

namespace merge {

// Continues the merged part that mergeAttributes opened: measure by measure, each upper staff of
// `groupParts` ("3,4," for parts 3 and 4, the bottom part last) and then the bottom staff, behind
// backups that return to the measure's start, with staff numbers, numbered clefs and raised voice
// numbers; ends with the bottom part's closing line. Then closes and deletes every work file of the
// group (a failed delete is ignored). A failure or staves with different measures are reported and
// end the run, leaving the work files in place. With validOutput, `facts` (the members' in staff
// order) decide divisions, voices and numbers; the described merge uses none of them.
void mergePart(run::Context& ctx, const std::string& groupParts, const GroupFacts& facts);

}  // namespace merge
