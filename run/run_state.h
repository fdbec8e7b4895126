#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_table.h"

namespace run {

// A 16-bit boolean: true is -1 (all bits set), false 0. Test it with != kFalse.
using Bool16 = std::int16_t;
constexpr Bool16 kTrue = -1;
constexpr Bool16 kFalse = 0;

enum class Encoding { UTF8, UTF16LE, UTF16BE };

// The program-wide variables of one run; all zero or empty when the program starts.
struct RunState {
  std::string quoteChar;  // the double quotation mark
  std::string tabChar;    // the horizontal tab
  std::string inputPath;  // as the calling sequence gives it
  // The PART= and INSTR= values of each group, in calling-sequence order.
  std::vector<std::int16_t> groupPart;
  std::vector<std::string> groupInstr;
  Encoding encodingName = Encoding::UTF8;
  Bool16 apostropheQuoted = kFalse;
  platform::FileNo inputFileNo = 0;
  // The divisor of the line reader's progress figure. UTF-16: the input bytes not yet read, lowered
  // as they are read, so 0 is the end of the input. UTF-8: the input's length when a repair copy
  // was made, else 0; it never changes while reading, and only switches the normalisation on.
  std::int32_t inputLength = 0;
  std::int32_t inputPosition = 0;  // input bytes consumed so far
  platform::FileNo outputFileNo = 0;
  std::int32_t outputRecordCount = 0;
  std::string xmlLine;
  // QUILLBRAID_OUTPUT=valid: a result that XML readers and the MusicXML schema accept, in the
  // encoding it declares, and that reads as the same music and text as the parts it was made from.
  bool validOutput = false;
};

}  // namespace run
