#include "platform/file_table.h"

#include <gtest/gtest.h>

#include <string>
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

TEST(FileTable, LineEndsAtEveryBlockSplit) {
  using Lines = std::vector<std::string>;
  const std::pair<std::string, Lines> cases[] = {
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
  };
  for (const auto& [bytes, expected] : cases) {
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

}  // namespace
