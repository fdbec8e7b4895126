#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "run/context.h"

// The work files through which the score pass hands a group's parts to the merges: one text file
// per part in the current folder, each line stored with CR LF, read back line by line. And the
// rules by which the calling sequence's groups pick those parts.
namespace merge {

inline constexpr std::string_view kBottomWorkFile = "QUILLBRAID_NEW.TXT";

// The work file of an upper part: "QUILLBRAID_P" + `number` + ".TXT". The score pass gives the
// part id's text after the "P", the merges the number they parsed, in decimal; the two differ
// only for ids with leading zeros (P04 is saved as QUILLBRAID_P04.TXT and looked for as ...P4).
std::string workFileName(std::string_view number);

// True when the upper-case file name `name` has the form of a work file's.
bool isWorkFileName(std::string_view name);

// The first group (from 0) whose member list holds "," number ",", or -1: the part whose id
// writes `number` after its "P" belongs to that group.
int memberGroup(const run::RunState& st, std::string_view number);

// True when the leading number of `number` is any group's PART=: the part is a bottom part,
// whose arrival starts a merge.
bool isBottomPart(const run::RunState& st, std::string_view number);

// True when `number` stands in group g's member list before the group's bottom part.
bool isUpperMember(const run::RunState& st, int g, std::string_view number);

// Appends `number` and its comma to a part list ("3,4," for parts 3 and 4).
void addToPartList(std::string& list, std::string_view number);

// Takes the number at the front of a part list ("3,4,") up to its comma or the list's end, leaving
// the comma in place. Any byte other than a comma counts as a digit; the value is 16-bit checked.
std::int16_t takePartNumber(std::string_view& list);

// Opens the work file `name` for reading. When it cannot be opened, reports `failure` (by default
// "Failed to open file " + name), with `reason` followed by CR LF and the platform's text for the
// failure, and ends the run.
platform::FileNo openWorkFile(run::Context& ctx, const std::string& name, std::string failure = {},
                              bool reason = false);

// Reads the next line of the open work file `no` named `name`. False at its end; a read failure is
// reported ("Failed to read " + name + CR LF + the platform's text) and ends the run.
[[nodiscard]] bool readWorkLine(run::Context& ctx, platform::FileNo no, std::string_view name,
                                std::string& line);
[[noreturn]] void reportReadFailure(run::Context& ctx, std::string_view name);

// Reports that the work file `name` ended before the line `marker` (named without its
// indentation), and ends the run.
[[noreturn]] void reportEndedBefore(run::Context& ctx, std::string_view name,
                                    std::string_view marker);

// Reads lines into `line` through the first one that contains `marker` (or equals it, with
// `whole`), handing each to `each`; a work file that ends before it is reported and ends the run.
template <class Each>
void readThrough(run::Context& ctx, platform::FileNo no, std::string_view name,
                 std::string_view marker, bool whole, std::string& line, Each each) {
  do {
    if (!readWorkLine(ctx, no, name, line)) reportEndedBefore(ctx, name, marker);
    each(line);
  } while (whole ? line != marker : line.find(marker) == std::string::npos);
}

}  // namespace merge
