#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "run/context.h"

namespace xmlio {

// How many of a file's first bytes decide its encoding.
inline constexpr std::size_t kProbeSize = 1000;

// What the first bytes of a file tell: the encoding when a rule knows it, whether a UTF-16BE
// declaration delimits its values with apostrophes, and how many CR bytes are among them.
struct Probe {
  std::optional<run::Encoding> encoding;
  bool apostropheQuoted = false;
  std::int32_t carriageReturns = 0;
};

// Decides from `firstBytes`, the file's first kProbeSize bytes or all of a shorter file (missing
// bytes count as zero bytes); looks at nothing else.
Probe detectEncoding(std::string_view firstBytes);

// Sets encodingName and apostropheQuoted from the first bytes of inputPath, asking the user where
// they do not decide, and writes the repair copy "KESTRINBAY.WRK" beside a UTF-8 input without a CR
// among them, if the user agrees. Leaves no file open; ends the run on an open failure or a No.
void establishEncoding(run::Context& ctx);

// `declaration`, an XML declaration, with the value of its encoding pseudo-attribute made UTF-8;
// a declaration without one stays as it is.
std::string declaringUTF8(std::string_view declaration);

}  // namespace xmlio
