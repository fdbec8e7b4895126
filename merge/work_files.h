#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "run/context.h"

// The work files through which the score pass hands a group's parts to the merges: one text file
// per part in the current folder, each line stored with CR LF, read back line by line.
namespace merge {

inline constexpr std::string_view kBottomWorkFile = "QUILLBRAID_NEW.TXT";

// The work file of an upper part: "QUILLBRAID_P" + `number` + ".TXT". The score pass gives the
// part id's text after the "P", the merges the number they parsed, in decimal; the two differ
// only for ids with leading zeros (P04 is saved as QUILLBRAID_P04.TXT and looked for as ...P4).
std::string workFileName(std::string_view number);

// Takes the number at the front of a part list ("3,4,") up to its comma or the list's end, leaving
// the comma in place. Any byte other than a comma counts as a digit of value byte - 48; the value
// is 16-bit checked (base::ArithmeticOverflow).
std::int16_t takePartNumber(std::string_view& list);

// Reads the next line of the open work file `no` named `name`. False at its end; a read failure is
// reported ("Failed to read " + name + CR LF + the platform's text) and ends the run.
[[nodiscard]] bool readWorkLine(run::Context& ctx, platform::FileNo no, std::string_view name,
                                std::string& line);
[[noreturn]] void reportReadFailure(run::Context& ctx, std::string_view name);

// Reports that the work file `name` ended before `missing` was found, and ends the run.
[[noreturn]] void reportEndedBefore(run::Context& ctx, std::string_view name,
                                    std::string_view missing);

}  // namespace merge
