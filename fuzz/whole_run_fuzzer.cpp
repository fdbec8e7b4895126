// A whole run over arbitrary bytes: the first byte answers the questions (one bit each, Yes when
// set), the second picks the block size, the third the file operation that fails (none below
// 0x80); then the argument string up to the first line feed, then the score.
// A finding is a crash, a sanitizer report, a hang, or an ending that is not sound
// (testsupport::soundEnding: the score lost or partly replaced, a success without the result in
// place, a run that ends silently before its result was whole).

#include <cstdio>
#include <cstdlib>

#include "tests/support/run.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 3) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::string args(in.substr(0, in.find('\n')));
  const std::string score(in.substr(std::min(in.size(), args.size() + 1)));
  std::string answers;
  for (int bit = 0; bit < 8; ++bit) answers += (data[0] >> bit & 1) != 0 ? "y\n" : "n\n";
  const std::size_t block = data[1] < 0x80 ? platform::FileTable::kBlockSize : data[1] % 16 + 1u;
  const std::size_t failAt = data[2] < 0x80 ? 0u : data[2] - 0x7Fu;

  testsupport::MemoryFileSystem fs;
  fs.files["score.xml"] = score;
  fs.failOperation(static_cast<std::int64_t>(failAt));
  const testsupport::Outcome run = testsupport::runInMemory(fs, args, answers, block);

  const std::string why = testsupport::soundEnding(fs, run, "score.xml", score, failAt);
  if (!why.empty()) {
    std::fprintf(stderr, "FINDING: %s\n", why.c_str());
    std::abort();
  }
  return 0;
}
