// A whole run over arbitrary bytes: the first byte answers the questions (a bit each, set: Yes),
// the second picks a small block size (low four bits) and QUILLBRAID_OUTPUT=valid (top bit), the
// third an operation (low seven bits, from 1; 0: none) that fails, or where the process dies (top
// bit); then the argument string up to the first line feed, then the score. A finding: a crash, a
// sanitizer report, a hang, files, records, codes or status that differ between the small block
// size and the large one, or an ending that is not sound (soundEnding; after a death, scoreSafety).

#include <cstdio>
#include <cstdlib>

#include "tests/support/run.h"

namespace {

void expectSound(const std::string& why) {
  if (why.empty()) return;
  std::fprintf(stderr, "FINDING: %s\n", why.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 3) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::string args(in.substr(0, in.find('\n')));
  const testsupport::Files before{
      {"score.xml", std::string(in.substr(std::min(in.size(), args.size() + 1)))}};
  std::string answers;
  for (int bit = 0; bit < 8; ++bit) answers += (data[0] >> bit & 1) != 0 ? "y\n" : "n\n";
  const std::size_t small = data[1] % 16 + 1u;
  testsupport::Environment environment;
  if ((data[1] & 0x80u) != 0) environment["QUILLBRAID_OUTPUT"] = "valid";
  const std::size_t operation = data[2] & 0x7Fu;
  const bool kill = (data[2] & 0x80u) != 0;

  testsupport::MemoryFileSystem smallBlocks, largeBlocks;
  smallBlocks.setFiles(before);
  largeBlocks.setFiles(before);
  const testsupport::Outcome run =
      testsupport::runInMemory(smallBlocks, args, answers, small, environment);
  const testsupport::Outcome again = testsupport::runInMemory(
      largeBlocks, args, answers, platform::FileTable::kBlockSize, environment);
  const bool same = smallBlocks.files() == largeBlocks.files() && run.status == again.status &&
                    run.records == again.records && run.codes == again.codes;
  expectSound(same ? "" : "the block size changed what the run did");
  const std::string result =
      run.status == 0 ? smallBlocks.files()["score.xml"] : before.at("score.xml");
  expectSound(testsupport::soundEnding(before, smallBlocks, run, "score.xml", result, 0));
  if (operation == 0) return 0;

  testsupport::MemoryFileSystem faulty;
  faulty.setFiles(before);
  kill ? faulty.crashAt(static_cast<std::int64_t>(operation))
       : faulty.failOperation(static_cast<std::int64_t>(operation));
  const testsupport::Outcome hurt =
      testsupport::runInMemory(faulty, args, answers, small, environment);
  expectSound(kill
                  ? testsupport::scoreSafety(before, faulty.files(), "score.xml", result)
                  : testsupport::soundEnding(before, faulty, hurt, "score.xml", result, operation));
  return 0;
}
