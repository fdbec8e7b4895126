// An arbitrary calling sequence, run to its end over the example score and a small second file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/context.h"
#include "app/start_up.h"
#include "fuzz/fuzz_support.h"

namespace {

const std::string& example() {
  static const std::string bytes = fuzzsupport::readSourceFile("examples/sonatina.xml");
  return bytes;
}

const std::string kSmall =
    "<?xml version=\"1.0\"?>\r\n<score-partwise>\r\n\t<part-list>\r\n\t\t<score-part "
    "id=\"P1\">\r\n\t\t</score-part>\r\n\t</part-list>\r\n\t<part id=\"P1\">\r\n\t</part>\r\n"
    "</score-partwise>\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view argument(reinterpret_cast<const char*>(data), size);
  testsupport::MemoryFileSystem fs;
  fs.put("score.xml", example());
  fs.put("dir\\small.xml", kSmall);
  fuzzsupport::BitDialogs dialogs(0xFF);
  fuzzsupport::QuietProcess process;
  int status = 0;
  {
    app::Context ctx(fs, dialogs, process);
    status = app::runProgram(ctx, argument);
  }
  fuzzsupport::checkScoreSafe(fs, "score.xml", example());
  fuzzsupport::checkScoreSafe(fs, "dir\\small.xml", kSmall);
  if (status != 0 && !dialogs.endedWithMessage()) {
    fuzzsupport::fail("a run ended with status 1 and no message");
  }
  return 0;
}
