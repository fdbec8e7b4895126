#pragma once

#include <memory>
#include <string>

#include "platform/dialogs.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace platform {

// The operating system's own file system, message boxes and process, for the running program.
struct RealPlatform {
  std::unique_ptr<FileSystem> fileSystem;
  std::unique_ptr<Dialogs> dialogs;
  std::unique_ptr<Process> process;
};

RealPlatform makeRealPlatform();

// The system's own file system. With `portable`, a POSIX backend keeps to the calls that every
// POSIX system has, as it always does outside Linux; the Win32 backend has one way only.
std::unique_ptr<FileSystem> makeFileSystem(bool portable);

// The argument string: the text the caller passed after the program's name, blanks included.
std::string commandLine(int argc, char** argv);

}  // namespace platform
