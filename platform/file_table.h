#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/checked.h"
#include "platform/file_system.h"

namespace platform {

// A small number naming an open file, counting from 1.
using FileNo = std::int16_t;

enum class Mode {
  TextIn,   // sequential lines
  TextOut,  // created or emptied; lines and bytes appended
  RawIn,    // bytes at a position or at the current position, read access only
};

enum class ReadStatus { Ok, End, Failed };

// Files by number, as the program's operations use them, over a FileSystem. All reads and writes
// go through one block buffer per file, so no system call is made per byte or per line. A failed
// operation leaves its SystemError in fileSystem().lastError().
class FileTable {
 public:
  // Large enough that a system call is rare next to the per-line work, small enough that the few
  // files open at once (input, output and one work file per staff) stay well inside a few MiB.
  static constexpr std::size_t kBlockSize = 256 * 1024;

  explicit FileTable(FileSystem& fs, std::size_t blockSize = kBlockSize);
  ~FileTable();
  FileTable(const FileTable&) = delete;
  FileTable& operator=(const FileTable&) = delete;

  FileSystem& fileSystem() { return fs_; }
  // Clears the file system's last error; cheap when there is none, as before each line read.
  void clearError() {
    const SystemError& e = fs_.lastError();
    if (e.code != 0 || !e.text.empty()) fs_.clearError();
  }

  // The lowest file number not in use, counting from 1.
  [[nodiscard]] FileNo freeFile() const;
  [[nodiscard]] bool open(FileNo no, std::string_view path, Mode mode);
  // Writes out what is buffered, then closes; false when either failed.
  [[nodiscard]] bool close(FileNo no);
  // Closes every open file, dropping any failure; used when a run ends.
  void closeAll() noexcept;
  [[nodiscard]] bool isOpen(FileNo no) const;
  // The path the file was opened with.
  [[nodiscard]] const std::string& name(FileNo no) const;

  // TextIn: the next line without its end. A CR ends a line and takes an LF directly after it;
  // a lone LF stays in the line; the end of the file ends the last line. End when no byte is left.
  ReadStatus readLine(FileNo no, std::string& line);
  // TextIn: when the next line and its whole end are already buffered, takes it as readLine would
  // and returns true; otherwise returns false and changes nothing, `line` included. Lets a caller
  // read straight into a line that must stay as it is when no line comes.
  bool readBufferedLine(FileNo no, std::string& line);
  // TextIn: readLine without the copy. `line` views the buffer, or `spill` when the line spans
  // blocks, and stays valid until the next call for this file or a change to `spill`.
  ReadStatus readLineView(FileNo no, std::string_view& line, std::string& spill);

  // RawIn: the byte at `position`, counting from 1; the current position moves behind it.
  // End when the position lies past the end of the file.
  ReadStatus readByteAt(FileNo no, std::int64_t position, unsigned char& byte);
  // RawIn: the byte at the current position, which then moves on by one.
  ReadStatus readByte(FileNo no, unsigned char& byte);
  // RawIn: the buffered bytes from the current position on (refilled when none are left);
  // an empty view with Ok means the end of the file. advance() moves the position on, within
  // that view or beyond it.
  ReadStatus peek(FileNo no, std::string_view& bytes);
  void advance(FileNo no, std::size_t count);

  // TextOut: appends bytes as they stand; writeLine adds CR LF.
  [[nodiscard]] bool write(FileNo no, std::string_view bytes);
  [[nodiscard]] bool writeLine(FileNo no, std::string_view line);

 private:
  struct OpenFile;
  OpenFile& entry(FileNo no);
  const OpenFile& entry(FileNo no) const;
  ReadStatus fill(OpenFile& f, std::uint64_t offset);
  ReadStatus next(OpenFile& f);
  static bool takeBufferedLine(OpenFile& f, std::string_view& line);
  bool flush(OpenFile& f);
  bool append(OpenFile& f, const char* bytes, std::size_t size);
  bool appendOverflowing(OpenFile& f, const char* bytes, std::size_t size);

  FileSystem& fs_;
  std::size_t blockSize_;
  std::vector<std::unique_ptr<OpenFile>> files_;  // index = file number - 1
};

}  // namespace platform
