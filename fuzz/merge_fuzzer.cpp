// Both merges over arbitrary work files. The bytes after the two selector bytes are cut at
// "@@@\r\n" into the bottom part's work file and up to three upper parts' files.

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "app/context.h"
#include "fuzz/fuzz_support.h"
#include "merge/merge_attributes.h"
#include "merge/merge_part.h"

namespace {

constexpr std::string_view kSeparator = "@@@\r\n";

std::vector<std::string> pieces(std::string_view rest) {
  std::vector<std::string> out;
  for (;;) {
    const std::size_t at = rest.find(kSeparator);
    out.emplace_back(rest.substr(0, at));
    if (at == std::string_view::npos || out.size() == 4) return out;
    rest.remove_prefix(at + kSeparator.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Bytes in(data, size);
  const std::uint8_t mode = in.byte();
  const std::uint8_t block = in.byte();
  const std::vector<std::string> files = pieces(in.rest());
  const char* const encodings[] = {"UTF-8", "UTF-16LE", "UTF-16BE"};

  testsupport::MemoryFileSystem fs;
  fs.put(std::string(merge::kBottomWorkFile), files[0]);
  std::string upperParts;
  for (std::size_t k = 1; k < files.size(); ++k) {
    const auto number = static_cast<std::int16_t>(k);
    fs.put(merge::upperWorkFileName(number), files[k]);
    upperParts += std::to_string(number) + ",";
  }
  fuzzsupport::BitDialogs dialogs(0);
  fuzzsupport::QuietProcess process;
  app::Context ctx(fs, dialogs, process, fuzzsupport::blockSize(block));
  app::RunState& st = ctx.state;
  st.quoteChar = "\"";
  st.tabChar = "\t";
  st.encodingName = encodings[(mode & 3u) % 3];
  st.outputFileNo = ctx.files.freeFile();
  if (!ctx.files.open(st.outputFileNo, "QUILLBRAID.XML", platform::Mode::TextOut)) {
    fuzzsupport::fail("cannot create the output");
  }

  bool ended = false;
  try {
    merge::mergeAttributes(ctx, upperParts);
    merge::mergePart(ctx, upperParts + "9,");
  } catch (const platform::RunEnded& end) {
    ended = true;
    if (end.exitStatus != 1 || !dialogs.endedWithMessage()) {
      fuzzsupport::fail("a merge ended the run without a report");
    }
  } catch (const platform::ArithmeticOverflow&) {
    // Reported by the run's outermost frame.
    ended = true;
  } catch (const std::bad_alloc&) {
    fuzzsupport::fail("out of memory on a small input");
  }
  if (ended) return 0;
  if (!dialogs.shown().empty()) fuzzsupport::fail("a box, but the merge went on");
  for (const auto& [name, bytes] : fs.files()) {
    if (name != "QUILLBRAID.XML") fuzzsupport::fail("work file left behind: " + name);
  }
  for (platform::FileNo no = 1; no < 8; ++no) {
    if (no != st.outputFileNo && ctx.files.isOpen(no)) fuzzsupport::fail("a work file left open");
  }
  return 0;
}
