#pragma once

#include <string>
#include <string_view>

#include "platform/dialogs.h"
#include "platform/file_system.h"
#include "platform/file_table.h"
#include "platform/process.h"
#include "run/run_state.h"

namespace run {

// Everything an operation may touch: the run's state, its numbered files, and the platform: the
// file system itself for what takes no file number (lengths, names, the platform's last error).
struct Context {
  Context(platform::FileSystem& fs, platform::Dialogs& dialogsIn, platform::Process& processIn,
          std::size_t blockSize = platform::FileTable::kBlockSize)
      : fileSystem(fs), files(fs, blockSize), dialogs(dialogsIn), process(processIn) {}

  RunState state;
  platform::FileSystem& fileSystem;
  platform::FileTable files;
  platform::Dialogs& dialogs;
  platform::Process& process;
  // The line reader's own line: a line it had to decode, normalise or gather from two blocks. Kept
  // so that delivering a line allocates nothing once lines stop growing.
  std::string readerScratch;
};

// Shows a report (critical icon, OK) and ends the run with status 1.
[[noreturn]] void reportAndEnd(Context& ctx, std::string_view text);

// Asks a Yes/No question; No ends the run with status 1.
void askOrEnd(Context& ctx, std::string_view text);

}  // namespace run
