#include "platform/file_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/memory_file_system.h"

namespace {

using platform::Mode;
using platform::ReadStatus;
using testsupport::MemoryFileSystem;

std::vector<std::string> readAllLines(const std::string& bytes, std::size_t blockSize) {
  MemoryFileSystem fs;
  fs.put("in", bytes);
  platform::FileTable files(fs, blockSize);
  EXPECT_TRUE(files.open(1, "in", Mode::TextIn));
  std::vector<std::string> lines;
  std::string line;
  while (files.readLine(1, line) == ReadStatus::Ok) lines.push_back(line);
  return lines;
}

// Every line-end shape: CR LF, lone CR, a lone LF kept in its line, CR at the end, empty lines.
const std::pair<std::string, std::vector<std::string>> kLineEndCases[] = {
    {"", {}},
    {"a", {"a"}},
    {"a\r\nb\r\n", {"a", "b"}},
    {"a\rb\r", {"a", "b"}},
    {"a\nb\r\n", {"a\nb"}},
    {"a\r\r\nb", {"a", "", "b"}},
    {"\r\n\r\n", {"", ""}},
    {"a\r\n\nb", {"a", "\nb"}},
    {"\n", {"\n"}},
    {"\xEF\xBB\xBFx\r\n\x80\xFF\r\n", {"\xEF\xBB\xBFx", "\x80\xFF"}},
    {"line one\r\nline two, longer\r\n\r\nx\ry\r\n\n",
     {"line one", "line two, longer", "", "x", "y", "\n"}},
};

TEST(FileTable, LineEndsAtEveryBlockSplit) {
  for (const auto& [bytes, expected] : kLineEndCases) {
    for (std::size_t block : {1, 2, 3, 5, 64}) {
      SCOPED_TRACE(testing::Message()
                   << "block " << block << " input " << testing::PrintToString(bytes));
      EXPECT_EQ(readAllLines(bytes, block), expected);
    }
  }
}

TEST(FileTable, RawReadsAtAPositionAndOnward) {
  MemoryFileSystem fs;
  fs.put("in", "abcdefgh");
  platform::FileTable files(fs, 3);
  ASSERT_TRUE(files.open(1, "in", Mode::RawIn));
  unsigned char b = 0;
  EXPECT_EQ(files.readByteAt(1, 7, b), ReadStatus::Ok);
  EXPECT_EQ(b, 'g');
  EXPECT_EQ(files.readByte(1, b), ReadStatus::Ok);
  EXPECT_EQ(b, 'h') << "the current position follows a positioned read";
  EXPECT_EQ(files.readByte(1, b), ReadStatus::End);
  EXPECT_EQ(files.readByteAt(1, 1, b), ReadStatus::Ok);
  EXPECT_EQ(b, 'a');
  EXPECT_EQ(files.readByteAt(1, 9, b), ReadStatus::End);
  EXPECT_EQ(files.readByteAt(1, 1000, b), ReadStatus::End);
  const auto before = fs.operations();
  for (int pos = 10; pos < 500; ++pos) ASSERT_EQ(files.readByteAt(1, pos, b), ReadStatus::End);
  EXPECT_LE(fs.operations() - before, 1) << "past the end is known without asking again";
}

TEST(FileTable, FreeNumbersAreTheLowestUnused) {
  MemoryFileSystem fs;
  fs.put("a", "");
  platform::FileTable files(fs);
  EXPECT_EQ(files.freeFile(), 1);
  ASSERT_TRUE(files.open(1, "a", Mode::TextIn));
  ASSERT_TRUE(files.open(2, "b", Mode::TextOut));
  EXPECT_EQ(files.freeFile(), 3);
  ASSERT_TRUE(files.close(1));
  EXPECT_EQ(files.freeFile(), 1);
  EXPECT_FALSE(files.open(1, "missing", Mode::TextIn));
  EXPECT_EQ(fs.lastError().code, 2);
  EXPECT_EQ(files.freeFile(), 1);
}

TEST(FileTable, OutputIsBufferedAndFailuresSurface) {
  MemoryFileSystem fs;
  platform::FileTable files(fs, 8);
  ASSERT_TRUE(files.open(1, "out", Mode::TextOut));
  ASSERT_TRUE(files.writeLine(1, "ab"));
  EXPECT_EQ(fs.get("out"), "") << "small writes wait in the buffer";
  ASSERT_TRUE(files.write(1, std::string(20, 'x')));
  ASSERT_TRUE(files.writeLine(1, ""));
  ASSERT_TRUE(files.close(1));
  EXPECT_EQ(fs.get("out"), "ab\r\n" + std::string(20, 'x') + "\r\n");

  ASSERT_TRUE(files.open(1, "out", Mode::TextOut));
  ASSERT_TRUE(files.writeLine(1, "ab"));
  fs.failOn(MemoryFileSystem::Op::Write, "out", 28);
  EXPECT_FALSE(files.close(1)) << "a failure to write out the buffer is the close's failure";
  EXPECT_EQ(fs.lastError().code, 28);
  EXPECT_FALSE(files.isOpen(1));
}

TEST(FileTable, ViewsAndBufferedLinesFollowTheSameLineEnds) {
  for (const auto& [bytes, expected] : kLineEndCases) {
    for (std::size_t block : {1, 2, 3, 5, 8, 64}) {
      SCOPED_TRACE(testing::Message()
                   << "block " << block << " input " << testing::PrintToString(bytes));
      MemoryFileSystem fs;
      fs.put("in", bytes);
      platform::FileTable files(fs, block);
      ASSERT_TRUE(files.open(1, "in", Mode::TextIn));
      // Alternate the three ways of reading; each must pick up where the other left off.
      std::vector<std::string> lines;
      std::string spill;
      for (int way = 0;; way = (way + 1) % 3) {
        if (way == 0) {
          std::string line = "kept";
          if (files.readBufferedLine(1, line)) {
            lines.push_back(line);
            continue;
          }
          EXPECT_EQ(line, "kept") << "a line not wholly buffered is left alone";
        }
        if (way == 1) {
          std::string_view view;
          const ReadStatus s = files.readLineView(1, view, spill);
          if (s != ReadStatus::Ok) break;
          lines.emplace_back(view);
          continue;
        }
        std::string line;
        if (files.readLine(1, line) != ReadStatus::Ok) break;
        lines.push_back(line);
      }
      EXPECT_EQ(lines, expected);
    }
  }
}

// A file system whose files record the size of every write that reaches them.
class WriteLog : public platform::FileSystem {
 public:
  std::string bytes;
  std::vector<std::size_t> writes;

  std::unique_ptr<platform::File> open(std::string_view, platform::Access) override {
    return std::make_unique<LoggedFile>(*this);
  }
  bool length(std::string_view, std::uint64_t&) override { return false; }
  bool rename(std::string_view, std::string_view, bool) override { return false; }
  bool copy(std::string_view, std::string_view) override { return false; }
  bool remove(std::string_view) override { return false; }

 private:
  class LoggedFile : public platform::File {
   public:
    explicit LoggedFile(WriteLog& log) : log_(log) {}
    bool readAt(std::uint64_t, char*, std::size_t, std::size_t& got) override {
      got = 0;
      return true;
    }
    bool write(const char* src, std::size_t size) override {
      log_.bytes.append(src, size);
      log_.writes.push_back(size);
      return true;
    }
    bool truncate() override { return true; }
    bool tryLock() override { return true; }
    bool close() override { return true; }

   private:
    WriteLog& log_;
  };
};

TEST(FileTable, OutputReachesTheFileInWholeBlocks) {
  // Ragged writes would leave a file in small pieces of the system's cache, which makes writing
  // it and copying it later several times slower.
  for (std::size_t block : {1, 2, 3, 7, 16}) {
    SCOPED_TRACE(testing::Message() << "block " << block);
    WriteLog log;
    platform::FileTable files(log, block);
    ASSERT_TRUE(files.open(1, "out", Mode::TextOut));
    std::string expected;
    for (std::size_t n = 0; n < 40; ++n) {
      const std::string text(n * 7 % 23, static_cast<char>('a' + n % 26));
      if (n % 3 == 0) {
        ASSERT_TRUE(files.writeLine(1, text));
        expected += text + "\r\n";
      } else {
        ASSERT_TRUE(files.write(1, text));
        expected += text;
      }
    }
    ASSERT_TRUE(files.close(1));
    EXPECT_EQ(log.bytes, expected);
    ASSERT_FALSE(log.writes.empty());
    for (std::size_t w = 0; w + 1 < log.writes.size(); ++w) {
      EXPECT_EQ(log.writes[w] % block, 0u) << "write " << w << " of " << log.writes[w];
    }
  }
}

}  // namespace
