// A whole run over arbitrary bytes: the first byte answers the questions (one bit each, Yes when
// set), the second picks the block size, the third the file operation that fails (none below
// 0x80); then the argument string up to the first line feed, then the score.
// A finding is a crash, a sanitizer report, a hang, the score lost or partly replaced, a
// success without the result in place, or a run that ends silently before its result was whole.

#include <cstdio>
#include <cstdlib>

#include "tests/support/run.h"

namespace {

[[noreturn]] void finding(const std::string& what) {
  std::fprintf(stderr, "FINDING: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (size < 3) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::string args(in.substr(0, in.find('\n')));
  const std::string score(in.substr(std::min(in.size(), args.size() + 1)));
  std::string answers;
  for (int bit = 0; bit < 8; ++bit) answers += (data[0] >> bit & 1) != 0 ? "y\n" : "n\n";
  const std::size_t block = data[1] < 0x80 ? platform::FileTable::kBlockSize : data[1] % 16 + 1u;
  const std::int64_t failAt = data[2] < 0x80 ? 0 : data[2] - 0x7F;

  testsupport::MemoryFileSystem fs;
  fs.files["score.xml"] = score;
  fs.failOperation(failAt);
  const testsupport::Outcome run = testsupport::runInMemory(fs, args, answers, block);

  if (const std::string why = testsupport::scoreSafety(fs.files, "score.xml", score);
      !why.empty()) {
    finding(why);
  }
  if (run.status == 0 && (fs.files.count("score.xmlorg") == 0 ||
                          fs.files["score.xml"] != fs.files["QUILLBRAID.XML"])) {
    finding("a success without the result in place");
  }
  std::size_t outputDone = 0;
  for (std::size_t n = 1; n <= fs.log.size(); ++n) {
    if (fs.log[n - 1].first == testsupport::MemoryFileSystem::Op::Close &&
        fs.log[n - 1].second == "QUILLBRAID.XML") {
      outputDone = n;
    }
  }
  if (run.status != 0 && run.records.empty() &&
      (outputDone == 0 || failAt <= static_cast<std::int64_t>(outputDone))) {
    finding("a silent ending before the result was whole");
  }
  return 0;
}
