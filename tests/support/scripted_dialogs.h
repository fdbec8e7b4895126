#pragma once

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "app/context.h"
#include "platform/dialogs.h"
#include "platform/process.h"
#include "tests/support/memory_file_system.h"

namespace testsupport {

struct Box {
  std::string text;
  int code;
  bool operator==(const Box&) const = default;
};

inline void PrintTo(const Box& box, std::ostream* os) {
  *os << "{" << box.code << ", \"" << box.text << "\"}";
}

// Records every box; answers questions from a script and fails the test when the script has no
// answer left.
class ScriptedDialogs : public platform::Dialogs {
 public:
  explicit ScriptedDialogs(std::deque<int> answers = {}) : answers_(std::move(answers)) {}
  int show(std::string_view text, int code) override;
  void answer(int a) { answers_.push_back(a); }
  const std::vector<Box>& shown() const { return shown_; }

 private:
  std::deque<int> answers_;
  std::vector<Box> shown_;
};

class FakeProcess : public platform::Process {
 public:
  void processEvents() override { ++eventsProcessed; }
  void showMainWindowUntilClosed() override { ++mainWindowShown; }
  int eventsProcessed = 0;
  int mainWindowShown = 0;
};

// A context on memory files, scripted boxes and a fake process.
struct TestRun {
  explicit TestRun(std::size_t blockSize = platform::FileTable::kBlockSize)
      : ctx(fs, dialogs, process, blockSize) {
    ctx.state.quoteChar = "\"";
    ctx.state.tabChar = "\t";
  }
  MemoryFileSystem fs;
  ScriptedDialogs dialogs;
  FakeProcess process;
  app::Context ctx;
};

// Bytes as space-separated hex, for readable mismatch messages.
std::string hex(std::string_view bytes);

}  // namespace testsupport
