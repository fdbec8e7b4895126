#pragma once

#include <string>
#include <string_view>

namespace platform {

// The one way a run ends early or normally: thrown, unwound to main, which closes every open file
// and returns the status. Not derived from std::exception on purpose.
struct RunEnded {
  int exitStatus;
};

[[noreturn]] inline void endRun(int exitStatus) { throw RunEnded{exitStatus}; }

// What the program needs of its process and main window besides files and boxes.
class Process {
 public:
  virtual ~Process() = default;
  // Lets the window system handle whatever is pending, once; the run goes on at once.
  virtual void processEvents() = 0;
  // Shows the empty main window and returns when the user has closed it.
  virtual void showMainWindowUntilClosed() = 0;
  // The value of the process's environment variable `name`; empty when it is not set. Each
  // backend gives the system's own.
  virtual std::string environmentVariable(std::string_view name) const;
};

}  // namespace platform
