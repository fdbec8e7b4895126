#pragma once

#include <string_view>

namespace platform {

constexpr int kBoxStop = 16;      // critical icon, OK: a report
constexpr int kBoxQuestion = 52;  // exclamation icon, Yes and No
constexpr int kBoxInfo = 64;      // information icon, OK
constexpr int kAnswerOK = 1;
constexpr int kAnswerYes = 6;
constexpr int kAnswerNo = 7;

// Modal message boxes captioned with the program's name. Text may hold CR LF pairs between lines.
class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // Shows the box and returns the button pressed: kAnswerOK, kAnswerYes or kAnswerNo.
  virtual int show(std::string_view text, int code) = 0;
  // Shows a text the user asked for (the version, the usage): lines joined by LF.
  virtual void inform(std::string_view text) = 0;
};

}  // namespace platform
