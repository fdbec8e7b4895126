// A whole run over an arbitrary input file: the first bytes choose the groups, the answers to the
// questions, the block size and one file operation that fails; the rest is the score.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/context.h"
#include "app/start_up.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::array<const char*, 4> kGroups = {
    "",
    "STAVESUP=1,PART=3,INSTR=,2,3,/",
    "STAVESUP=2,PART=3,INSTR=,1,2,3,/",
    "STAVESUP=1,PART=2,INSTR=,1,2,/STAVESUP=1,PART=4,INSTR=,3,4,/",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Bytes in(data, size);
  const std::uint8_t groups = in.byte();
  const std::uint8_t answers = in.byte();
  const std::uint8_t block = in.byte();
  // Most runs go without an injected fault; the others fail one of their first 255 operations.
  const std::uint8_t faultSelector = in.byte();
  const std::int64_t failAt = faultSelector >= 0x80 ? faultSelector - 0x7F : 0;
  const std::string original(in.rest());

  testsupport::MemoryFileSystem fs;
  fs.put("score.xml", original);
  fs.failOperation(failAt);
  fuzzsupport::BitDialogs dialogs(answers);
  fuzzsupport::QuietProcess process;
  int status = 0;
  {
    app::Context ctx(fs, dialogs, process, fuzzsupport::blockSize(block));
    status = app::runProgram(
        ctx, std::string("CALLEDBY=ORVANTIDE,FILE=score.xml/") + kGroups[groups % kGroups.size()]);
  }

  fuzzsupport::checkScoreSafe(fs, "score.xml", original);
  const bool faultHit = failAt != 0 && fs.operations() >= failAt;
  if (status == 0) {
    if (fs.files().count("score.xml") == 0 || fs.files().count("score.xmlorg") == 0) {
      fuzzsupport::fail("status 0 without the result in place and the backup beside it");
    }
    if (fs.files().at("score.xml") != fs.files().at("QUILLBRAID.XML")) {
      fuzzsupport::fail("status 0 but inputPath differs from QUILLBRAID.XML");
    }
  } else if (!dialogs.endedWithMessage()) {
    // Only the final rename or copy may end a run silently, and only when it failed.
    const bool untouched = fs.files().count("score.xml") != 0 &&
                           fs.files().at("score.xml") == original &&
                           fs.files().count("score.xmlorg") == 0;
    const bool movedAside = fs.files().count("score.xml") == 0;
    if (!faultHit || !(untouched || movedAside)) {
      fuzzsupport::fail("a run ended with status 1 and no message");
    }
  }
  if (process.mainWindowShown && dialogs.shown().empty()) {
    fuzzsupport::fail("the main window came up without a report");
  }
  return 0;
}
