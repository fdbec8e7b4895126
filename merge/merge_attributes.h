#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/context.h"

namespace merge {

// Writes the opening of a merged part through xmlio::writeXML: the bottom part's lines from the
// work file QUILLBRAID_NEW.TXT through its first </time>, a <staves> line, the first clef of each
// upper part in `upperParts` order ("3,4," for parts 3 and 4), then the bottom part's clef and the
// rest of its attributes. Clefs are numbered from 1 in that order. Sets staffCount and leaves the
// last line read in xmlLine. Every work file is closed again; none is deleted. A missing work file,
// a failed read or a work file that ends too early is reported and ends the run.
void mergeAttributes(app::Context& ctx, const std::string& upperParts);

// The two merges share the way they name and read work files.

inline constexpr std::string_view kBottomWorkFile = "QUILLBRAID_NEW.TXT";

// "QUILLBRAID_P" + number in decimal + ".TXT".
std::string upperWorkFileName(std::int16_t partNumber);

// Takes the number at the front of a part list ("3,4,") up to its comma or the list's end, leaving
// the comma in place. Any byte other than a comma counts as a digit of value byte - 48; the value
// is 16-bit checked (platform::ArithmeticOverflow).
std::int16_t takePartNumber(std::string_view& list);

// Reads the next line of the open work file `no` named `name`. False at its end; a read failure is
// reported ("Failed to read " + name + CR LF + the platform's text) and ends the run.
[[nodiscard]] bool readWorkLine(app::Context& ctx, platform::FileNo no, std::string_view name,
                                std::string& line);

// Reports that the work file `name` ended before `missing` was found, and ends the run.
[[noreturn]] void reportEndedBefore(app::Context& ctx, std::string_view name,
                                    std::string_view missing);

}  // namespace merge
