#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "platform/file_table.h"
#include "tests/support/memory_file_system.h"

namespace testsupport {

using Files = std::map<std::string, std::string>;  // bytes by path

// What a run shows its caller: the exit status, the console records (standard error, as the
// console backend writes them) and the button-and-icon code of every box, blank-separated.
struct Outcome {
  int status = 0;
  std::string records;
  std::string codes;
};

// A whole run in this process on `fs`, with the console's boxes: `answers` is standard input.
Outcome runInMemory(MemoryFileSystem& fs, std::string_view args, std::string_view answers = {},
                    std::size_t blockSize = platform::FileTable::kBlockSize);

// Empty when the user's score `path` is safe in `files`: it still holds `original`, or the
// backup holds `original` and `path` holds the complete result (QUILLBRAID.XML) or nothing.
// Otherwise says what is wrong.
std::string scoreSafety(const Files& files, const std::string& path, const std::string& original);

// Empty when `run`, made on `fs` from `original` at `path` with operation `failed` (from 1; 0:
// none) failing, ended soundly: the score is safe, a success left the result in place beside the
// backup, and a failure said so unless the output was complete before it. Else what is wrong.
std::string soundEnding(const MemoryFileSystem& fs, const Outcome& run, const std::string& path,
                        const std::string& original, std::size_t failed);

// A score in the converter's layout, CR LF ended: `parts` parts P1, P2, ... of `measures` measures
// each (two voices behind a backup), listed in a part list of `entries` score-parts (at least
// one for each part).
std::string buildScore(int parts, int measures, int entries = 0);

// The bytes of `path`, or `otherwise` when it cannot be read; the files below `dir`.
std::string slurp(const std::filesystem::path& path, const std::string& otherwise = "");
Files tree(const std::filesystem::path& dir);

}  // namespace testsupport
