#pragma once

#include <string>

#include "merge/group_facts.h"
#include "run/context.h"

namespace merge {

// Writes the opening of a merged part through xmlio::writeXML: the bottom part's lines from the
// work file QUILLBRAID_NEW.TXT through its first </time>, a <staves> line, the first clef of each
// upper part in `upperParts` order ("3,4," for parts 3 and 4), then the bottom part's clef and the
// rest of its attributes. Clefs are numbered from 1 in that order. Leaves the last line read in
// xmlLine. Every work file is closed again; none is deleted. A missing work file, a failed read or
// a work file that ends too early is reported and ends the run. With validOutput, empty lines are
// left out, the divisions are the members' common ones, and the members' keys, times and staff
// details each stand numbered for its staff where they differ (`facts`, in staff order).
void mergeAttributes(run::Context& ctx, const std::string& upperParts, const GroupFacts& facts);

}  // namespace merge
