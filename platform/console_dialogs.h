#pragma once

#include <cstdio>
#include <string_view>

#include "platform/dialogs.h"
#include "platform/process.h"

namespace platform {

// Message boxes as records on a stream: "Quillbraid: " + the box's text + "\n". A question then
// prompts "[Y/n] " and reads one line: empty, "y" or "yes" in any case answer Yes; anything else,
// and the end of input, answer No. A text the user asked for goes to `output`, as it stands.
class ConsoleDialogs : public Dialogs {
 public:
  ConsoleDialogs(std::FILE* records, std::FILE* answers, std::FILE* output)
      : records_(records), answers_(answers), output_(output) {}
  int show(std::string_view text, int code) override;
  void inform(std::string_view text) override;

 private:
  std::FILE* records_;
  std::FILE* answers_;
  std::FILE* output_;
};

// A process without windows: the main window's lifetime is one line (or the end) of `answers`.
class ConsoleProcess : public Process {
 public:
  explicit ConsoleProcess(std::FILE* answers) : answers_(answers) {}
  void processEvents() override {}
  void showMainWindowUntilClosed() override;

 private:
  std::FILE* answers_;
};

}  // namespace platform
