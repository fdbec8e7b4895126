#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/line_shape.h"
#include "run/run_state.h"

// Small rules on staff lines that the attributes merge, the measure merge and the facts share.
namespace merge {

void appendNumber(std::string& out, std::int64_t value);

// The text between `open` and `close` when `rest`, a line after its tabs, is exactly
// open + text + close with a text of plain digits, an optional sign first when `signed`.
bool plainNumber(std::string_view rest, std::string_view open, std::string_view close,
                 bool withSign, std::string_view& digits);

// `line` with the tag it opens (the element `name`, at `shape`) numbered: number="`number`" as its
// first attribute, unless the tag already has a number. Built in `out`.
std::string_view numberedTag(std::string& out, std::string_view line, const base::LineShape& shape,
                             std::string_view name, std::int64_t number, const run::RunState& st);

// A line in which the value `digits` (a view into `line`) is replaced by `value`. Built in `out`.
std::string_view withValue(std::string& out, std::string_view line, std::string_view digits,
                           std::int64_t value);

// The line that replaces a clef's opening line: four tabs and <clef number="`number`">.
std::string_view clefLine(std::string& out, std::int64_t number, const run::RunState& st);

}  // namespace merge
