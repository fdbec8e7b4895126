#include "platform/console_dialogs.h"

#include <string>

#include "base/text.h"

namespace platform {
namespace {

// Reads one line; false at the end of input with nothing read.
bool readAnswerLine(std::FILE* in, std::string& line) {
  line.clear();
  bool any = false;
  for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
    any = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

bool isYes(const std::string& answer) {
  const std::string upper = base::upperCaseASCII(answer);
  return upper.empty() || upper == "Y" || upper == "YES";
}

}  // namespace

int ConsoleDialogs::show(std::string_view text, int code) {
  std::fputs("Quillbraid: ", records_);
  std::fwrite(text.data(), 1, text.size(), records_);
  std::fputc('\n', records_);
  if (code != kBoxQuestion) {
    std::fflush(records_);
    return kAnswerOK;
  }
  std::fputs("[Y/n] ", records_);
  std::fflush(records_);
  std::string answer;
  if (!readAnswerLine(answers_, answer)) return kAnswerNo;
  return isYes(answer) ? kAnswerYes : kAnswerNo;
}

void ConsoleDialogs::inform(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), output_);
  std::fputc('\n', output_);
  std::fflush(output_);
}

void ConsoleProcess::showMainWindowUntilClosed() {
  std::string ignored;
  static_cast<void>(readAnswerLine(answers_, ignored));
}

}  // namespace platform
