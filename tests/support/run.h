#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "platform/file_table.h"
#include "tests/support/memory_file_system.h"

namespace testsupport {

using Environment = std::map<std::string, std::string>;  // values by variable

// What a run shows: the exit status, the console records (standard error) and the code of every
// box, blank-separated.
struct Outcome {
  int status = 0;
  std::string records;
  std::string codes;
  std::string output;  // standard output
};

// A whole run in this process on `fs`, with the console's boxes: `answers` is standard input,
// `environment` the process's environment. A run that dies (MemoryFileSystem::crashAt) has the
// status kKilled.
constexpr int kKilled = -9;
Outcome runInMemory(MemoryFileSystem& fs, std::string_view args, std::string_view answers = {},
                    std::size_t blockSize = platform::FileTable::kBlockSize,
                    const Environment& environment = {});

// Empty when the score at `path` is safe in `now`, the files as a run left them or as they stood
// at any moment of it; else what is wrong. Safe: `path` holds the original (its bytes in
// `before`) or `result`, the complete result; whenever it holds the result, the backup (path +
// "org") holds the original, or the earlier backup of `before`; an earlier backup never changes.
std::string scoreSafety(const Files& before, const Files& now, const std::string& path,
                        const std::string& result);

// Empty when `run`, made on `fs` from `before` with operation `failed` (from 1; 0: none) failing,
// ended soundly, else what is wrong: a failed run left the original, a success `result` (what the
// run gives without the failure; its own output after a step passed over in the encoding
// detection) beside the backup, and a failure said so unless the output was whole before it.
std::string soundEnding(const Files& before, const MemoryFileSystem& fs, const Outcome& run,
                        const std::string& path, const std::string& result, std::size_t failed);

// A score in the converter's layout, CR LF ended: `parts` parts P1, P2, ... of `measures` measures
// each, two voices behind a backup.
std::string buildScore(int parts, int measures);

// True when the person running the tests named `check` in QB_SKIP (names between blanks).
bool skippedOnRequest(const std::string& check);

// The bytes of `path`, or `otherwise` when it cannot be read; the files below `dir`.
std::string slurp(const std::filesystem::path& path, const std::string& otherwise = "");
Files tree(const std::filesystem::path& dir);

}  // namespace testsupport
