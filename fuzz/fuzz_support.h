#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dialogs.h"
#include "platform/process.h"
#include "tests/support/memory_file_system.h"

namespace fuzzsupport {

// The fuzzer's bytes taken from the front, one field at a time; an exhausted input reads as zeros.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}
  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

// Answers each question from the bits of `answers` (bit set: Yes), lowest bit first, then No;
// records every box.
class BitDialogs : public platform::Dialogs {
 public:
  explicit BitDialogs(std::uint8_t answers) : answers_(answers) {}
  int show(std::string_view text, int code) override;

  struct Shown {
    std::string text;
    int code;
    int answer;
  };
  const std::vector<Shown>& shown() const { return shown_; }
  // True when the last box told the user that the run stops: a report, a read failure, or a
  // question answered No.
  bool endedWithMessage() const;

 private:
  std::uint8_t answers_;
  std::vector<Shown> shown_;
};

class QuietProcess : public platform::Process {
 public:
  void processEvents() override {}
  void showMainWindowUntilClosed() override { mainWindowShown = true; }
  bool mainWindowShown = false;
};

// A block size for the file table: small ones split lines and pairs at every place.
std::size_t blockSize(std::uint8_t selector);

// Ends the process with a report on standard error, so that libFuzzer records the input.
[[noreturn]] void fail(std::string_view what);

// The user's score is safe when inputPath still holds the original bytes, or the backup holds
// them and inputPath holds the complete result (QUILLBRAID.XML) or nothing.
void checkScoreSafe(const testsupport::MemoryFileSystem& fs, const std::string& inputPath,
                    const std::string& original);

// The bytes of `relativePath` in the source tree; fails when it cannot be read.
std::string readSourceFile(const std::string& relativePath);

}  // namespace fuzzsupport
