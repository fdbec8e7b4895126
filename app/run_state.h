#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/checked.h"

namespace app {

using platform::Bool16;
using platform::FileNo;

// The program-wide variables of one run; all zero or empty when the program starts.
struct RunState {
  std::string quoteChar;  // the double quotation mark
  std::string tabChar;    // the horizontal tab
  std::string inputPath;  // as the calling sequence gives it
  std::int16_t groupCount = 0;
  // Entry g - 1 describes group g, in calling-sequence order.
  std::vector<std::int16_t> groupStavesUp;
  std::vector<std::int16_t> groupPart;
  std::vector<std::string> groupInstr;
  std::string encodingName;  // "UTF-8", "UTF-16LE" or "UTF-16BE"
  Bool16 apostropheQuoted = platform::kFalse;
  FileNo inputFileNo = 0;
  std::int32_t inputLength = 0;    // UTF-16: bytes not yet read; UTF-8: length after a repair copy
  std::int32_t inputPosition = 0;  // input bytes consumed so far
  FileNo outputFileNo = 0;
  std::int32_t outputRecordCount = 0;
  std::string xmlLine;
  std::int16_t staffCount = 0;
};

}  // namespace app
