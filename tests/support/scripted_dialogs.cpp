#include "tests/support/scripted_dialogs.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace testsupport {

int ScriptedDialogs::show(std::string_view text, int code) {
  shown_.push_back(Box{std::string(text), code});
  if (code != platform::kBoxQuestion) return platform::kAnswerOK;
  if (answers_.empty()) {
    ADD_FAILURE() << "unscripted question: " << text;
    return platform::kAnswerNo;
  }
  const int a = answers_.front();
  answers_.pop_front();
  return a;
}

std::string hex(std::string_view bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace testsupport
