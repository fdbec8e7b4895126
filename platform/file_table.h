#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/checked.h"
#include "base/line_shape.h"
#include "base/scan.h"
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
enum class CopyStatus { Ok, End, ReadFailed, WriteFailed };

// Sees the lines that a copy passes on, while they go by; the view lasts only for the call, and
// has FileTable::kReadSlack readable bytes behind it, as the scan kernels want.
class LineWatcher {
 public:
  explicit LineWatcher(char tab) : tab_(tab) {}
  virtual ~LineWatcher() = default;
  virtual void see(std::string_view line) = 0;

  // Whether see() wants `line`: every line, or (narrowed) only those that begin, after their
  // indentation, with one of the two tag beginnings it named. Most lines pass at a glance.
  bool wants(std::string_view line) const {
    // No branch on the line's bytes, which vary from line to line: a branch that guessed wrong
    // would cost more than the test. The bytes read lie within the slack, and a line shorter
    // than a beginning shows its line end or the slack there, which no beginning holds.
    const auto depth =
        static_cast<std::size_t>(std::countr_one(base::matchMask16(line.data(), tab_)));
    if (depth > 12) return true;  // far too deep to tell here
    std::uint32_t head = 0;
    std::memcpy(&head, line.data() + depth, sizeof head);
    head &= mask_;  // 0 until narrowed: every line then matches
    const auto first = static_cast<unsigned>(head == beginnings_[0]);
    return (first | static_cast<unsigned>(head == beginnings_[1])) != 0;
  }

 protected:
  // Narrows see() to lines whose tag begins "<" + `first` or "<" + `second`, two bytes each.
  void narrowTo(std::string_view first, std::string_view second) {
    mask_ = kThreeBytes;
    beginnings_ = {threeBytes(first), threeBytes(second)};
  }
  char tab_;

 private:
  static constexpr std::uint32_t threeBytes(std::string_view name) {
    return std::bit_cast<std::uint32_t>(std::array<char, 4>{'<', name[0], name[1], '\0'});
  }
  static constexpr std::uint32_t kThreeBytes =
      std::bit_cast<std::uint32_t>(std::array<unsigned char, 4>{0xFF, 0xFF, 0xFF, 0});
  std::uint32_t mask_ = 0;
  std::array<std::uint32_t, 2> beginnings_{};
};

// Files by number, as the program's operations use them, over a FileSystem. All reads and writes
// go through one block buffer per file, so no system call is made per byte or per line. A failed
// operation leaves its SystemError in the file system's lastError().
class FileTable {
 public:
  // Large enough that a system call is rare next to the per-line work, small enough that the few
  // files open at once (input, output and one work file per staff) stay well inside a few MiB.
  static constexpr std::size_t kBlockSize = 256 * 1024;

  explicit FileTable(FileSystem& fs, std::size_t blockSize = kBlockSize);
  ~FileTable();
  FileTable(const FileTable&) = delete;
  FileTable& operator=(const FileTable&) = delete;

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
  // TextIn: readLine without the copy. `line` views the buffer, or `spill` when the line spans
  // blocks, and stays valid until the next call for this file or a change to `spill`. A view of
  // the buffer may be read kReadSlack bytes past its end (bytes of no meaning), as the scan
  // kernels that read sixteen bytes at a time want.
  static constexpr std::size_t kReadSlack = base::kScanSlack;
  ReadStatus readLineView(FileNo no, std::string_view& line, std::string& spill) {
    OpenFile& f = entry(no);
    return takeBufferedLine(f, line) ? ReadStatus::Ok : readLineSpilling(f, line, spill);
  }

  // TextIn `in` to TextOut `out`: the lines readLine would read, each written as writeLine writes
  // it, through the first that equals `last` (Ok), or to the end of the input (End). `bytes`
  // grows by each line's length + 2; a line that would take it past `limit` throws
  // ArithmeticOverflow, unwritten. A failure stops the copy, the lines before it written.
  // `watcher`, when given, sees every line copied.
  CopyStatus copyLines(FileNo in, FileNo out, std::string_view last, std::int64_t& bytes,
                       std::int64_t limit, LineWatcher* watcher = nullptr);

  // RawIn: the byte at `position`, counting from 1; the current position moves behind it.
  // End when the position lies past the end of the file.
  ReadStatus readByteAt(FileNo no, std::int64_t position, unsigned char& byte);
  // RawIn: the byte at the current position, which then moves on by one.
  ReadStatus readByte(FileNo no, unsigned char& byte);
  // RawIn: the bytes already buffered from the current position on; reads nothing.
  std::string_view buffered(FileNo no) {
    const OpenFile& f = entry(no);
    return std::string_view(f.block.get() + f.begin, f.end - f.begin);
  }
  // RawIn: the buffered bytes from the current position on (refilled when none are left);
  // an empty view with Ok means the end of the file. advance() moves the position on, within
  // that view or beyond it.
  ReadStatus peek(FileNo no, std::string_view& bytes) {
    OpenFile& f = entry(no);
    if (f.begin == f.end && next(f) == ReadStatus::Failed) return ReadStatus::Failed;
    bytes = std::string_view(f.block.get() + f.begin, f.end - f.begin);
    return ReadStatus::Ok;
  }
  void advance(FileNo no, std::size_t count) {
    OpenFile& f = entry(no);
    if (count <= f.end - f.begin) {
      f.begin += count;
    } else {
      skip(f, count);
    }
  }

  // TextOut: where the next bytes go, for a caller that makes them in place: `size` bytes from
  // `at` up to the end of the block (a full block is written out first, so at least one), taken
  // by commit(). False when writing the full block out failed.
  [[nodiscard]] bool room(FileNo no, char*& at, std::size_t& size) {
    OpenFile& f = entry(no);
    if (f.used == blockSize_ && !flush(f)) return false;
    at = f.block.get() + f.used;
    size = blockSize_ - f.used;
    return true;
  }
  void commit(FileNo no, std::size_t count) { entry(no).used += count; }

  // TextOut: appends bytes as they stand; writeLine adds CR LF.
  [[nodiscard]] bool write(FileNo no, std::string_view bytes) {
    return append(entry(no), bytes.data(), bytes.size());
  }
  [[nodiscard]] bool writeLine(FileNo no, std::string_view line) {
    OpenFile& f = entry(no);
    if (line.size() + 2 > blockSize_ - f.used) return appendLineOverflowing(f, line);
    char* const at = f.block.get() + f.used;
    copyBytes(at, line.data(), line.size());
    at[line.size()] = '\r';
    at[line.size() + 1] = '\n';
    f.used += line.size() + 2;
    return true;
  }

 private:
  // The reads and writes of every line pass through here, so the hot paths below are inline.
  struct OpenFile {
    std::unique_ptr<File> file;
    std::string name;
    Mode mode = Mode::TextIn;
    // The input block or the pending output, blockSize bytes and kReadSlack zeroed ones behind
    // them. The block is left uninitialised: every byte is written before it is read, and
    // untouched pages of a large block cost no memory.
    std::unique_ptr<char[]> block;
    std::uint64_t inOffset = 0;  // file offset of block[0]
    std::size_t begin = 0;       // current position within the block
    std::size_t end = 0;         // valid input bytes in the block
    bool shortRead = false;      // the last fill reached the end of the file
    std::size_t used = 0;        // pending output bytes
  };

  // Copies a line's bytes. Most lines are short, and a call to memcpy costs more than the copy:
  // two overlapping moves of a fixed size do it without one. An empty view may carry a null
  // pointer, which memcpy must not be given even for no bytes.
  static void copyBytes(char* to, const char* from, std::size_t size) {
    if (size >= 16 && size <= 32) {
      std::memcpy(to, from, 16);
      std::memcpy(to + size - 16, from + size - 16, 16);
    } else if (size >= 8 && size < 16) {
      std::memcpy(to, from, 8);
      std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4 && size < 8) {
      std::memcpy(to, from, 4);
      std::memcpy(to + size - 4, from + size - 4, 4);
    } else if (size != 0) {
      std::memcpy(to, from, size);
    }
  }
  // A number below 1 wraps around to an index past the end, so one comparison checks both ends.
  OpenFile& entry(FileNo no) {
    const std::size_t index = static_cast<std::size_t>(no) - 1;
    if (index >= files_.size() || !files_[index]) [[unlikely]]
      notOpen();
    return *files_[index];
  }
  const OpenFile& entry(FileNo no) const { return const_cast<FileTable*>(this)->entry(no); }
  [[noreturn]] static void notOpen();
  // Takes the next line when it and its whole end are buffered; false, changing nothing, else.
  static bool takeBufferedLine(OpenFile& f, std::string_view& line) {
    const char* const start = f.block.get() + f.begin;
    // An empty line, every other one in a work file of a UTF-16 score, needs no search.
    const auto* cr = f.begin < f.end && *start == '\r'
                         ? start
                         : static_cast<const char*>(std::memchr(start, '\r', f.end - f.begin));
    // A CR in the block's last byte needs the next block to tell whether an LF belongs to it.
    if (cr == nullptr || cr + 1 == f.block.get() + f.end) return false;
    line = std::string_view(start, static_cast<std::size_t>(cr - start));
    f.begin = static_cast<std::size_t>(cr - f.block.get()) + (cr[1] == '\n' ? 2 : 1);
    return true;
  }
  ReadStatus readLineFrom(OpenFile& f, std::string& line);
  ReadStatus readLineSpilling(OpenFile& f, std::string_view& line, std::string& spill);
  static void skip(OpenFile& f, std::size_t count);
  ReadStatus fill(OpenFile& f, std::uint64_t offset);
  ReadStatus next(OpenFile& f);
  bool appendLineOverflowing(OpenFile& f, std::string_view line);
  bool flush(OpenFile& f);
  bool append(OpenFile& f, const char* bytes, std::size_t size) {
    if (size > blockSize_ - f.used) return appendOverflowing(f, bytes, size);
    copyBytes(f.block.get() + f.used, bytes, size);
    f.used += size;
    return true;
  }
  bool appendOverflowing(OpenFile& f, const char* bytes, std::size_t size);

  FileSystem& fs_;
  std::size_t blockSize_;
  std::string spill_;                             // a line that copyLines finds across two blocks
  std::vector<std::unique_ptr<OpenFile>> files_;  // index = file number - 1
};

}  // namespace platform
