// The operating system's backend, on real files in a scratch folder.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/real_platform.h"

namespace {

namespace fs = std::filesystem;

class ScratchFolder {
 public:
  ScratchFolder() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() / ("qb-real-fs-" + std::to_string(stamp));
    fs::create_directories(dir_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  fs::path dir_;
};

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(RealFileSystem, CopyReplacesTheTargetWithEveryByte) {
  ScratchFolder dir;
  platform::RealPlatform real = platform::makeRealPlatform();
  platform::FileSystem& files = *real.fileSystem;
  const std::string from = dir.path("from.xml"), to = dir.path("to.xml");
  // Around a page and a copy block, and several blocks with a ragged end.
  for (std::size_t size : {0, 1, 4095, 4097, (1 << 20) + 1, (3 << 20) + 5}) {
    SCOPED_TRACE(testing::Message() << size << " bytes");
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4093) % 251);
    put(from, bytes);
    put(to, std::string(size + 5000, 'x'));  // longer than the copy, so it must be emptied
    ASSERT_TRUE(files.copy(from, to)) << files.lastError().text;
    EXPECT_TRUE(get(to) == bytes);
    EXPECT_TRUE(get(from) == bytes);
  }
  files.clearError();
  EXPECT_FALSE(files.copy(dir.path("missing.xml"), to));
  EXPECT_NE(files.lastError().code, 0);
}

TEST(RealFileSystem, OnlyWriteTruncateEmptiesAnExistingFile) {
  ScratchFolder dir;
  platform::RealPlatform real = platform::makeRealPlatform();
  platform::FileSystem& files = *real.fileSystem;
  const struct {
    const char* name;
    const char* before;  // nullptr: no such file
    platform::Access access;
    std::string after;  // once "new" is written through the handle
  } cases[] = {
      {"truncate a file with bytes", "old bytes", platform::Access::WriteTruncate, "new"},
      {"truncate an empty file", "", platform::Access::WriteTruncate, "new"},
      {"truncate creates", nullptr, platform::Access::WriteTruncate, "new"},
      {"keep writes over the start", "old bytes", platform::Access::WriteKeep, "new bytes"},
      {"keep creates", nullptr, platform::Access::WriteKeep, "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.path("out.xml");
    std::error_code ignored;
    fs::remove(path, ignored);
    if (c.before != nullptr) put(path, c.before);
    auto file = files.open(path, c.access);
    ASSERT_NE(file, nullptr) << files.lastError().text;
    ASSERT_TRUE(file->write("new", 3));
    ASSERT_TRUE(file->close());
    EXPECT_EQ(get(path), c.after);
  }
}

}  // namespace
