#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fuzzsupport {

int BitDialogs::show(std::string_view text, int code) {
  int answer = platform::kAnswerOK;
  if (code == platform::kBoxQuestion) {
    const std::size_t asked = shown_.size();
    const bool yes = asked < 8 && ((answers_ >> asked) & 1u) != 0;
    answer = yes ? platform::kAnswerYes : platform::kAnswerNo;
  }
  shown_.push_back(Shown{std::string(text), code, answer});
  return answer;
}

bool BitDialogs::endedWithMessage() const {
  if (shown_.empty()) return false;
  const Shown& last = shown_.back();
  return last.code != platform::kBoxQuestion || last.answer == platform::kAnswerNo;
}

std::size_t blockSize(std::uint8_t selector) {
  return (selector & 0x80u) != 0 ? (selector & 0x0Fu) + 1u : 64u * 1024u;
}

void fail(std::string_view what) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

void checkScoreSafe(const testsupport::MemoryFileSystem& fs, const std::string& inputPath,
                    const std::string& original) {
  const auto& files = fs.files();
  const auto input = files.find(inputPath);
  if (input != files.end() && input->second == original) return;
  const auto backup = files.find(inputPath + "org");
  if (backup == files.end() || backup->second != original) {
    fail("the original score is neither at inputPath nor in the backup");
  }
  if (input == files.end()) return;
  const auto result = files.find("QUILLBRAID.XML");
  if (result == files.end() || result->second != input->second) {
    fail("inputPath holds something other than the complete result");
  }
}

std::string readSourceFile(const std::string& relativePath) {
  std::ifstream in(std::string(QB_SOURCE_DIR) + "/" + relativePath, std::ios::binary);
  if (!in) fail("cannot read " + relativePath);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace fuzzsupport
