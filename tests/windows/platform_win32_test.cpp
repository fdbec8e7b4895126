// The Windows file system backend on real files. std::filesystem is the independent witness of
// what reached the disk, under which name.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/real_platform.h"

namespace {

namespace fs = std::filesystem;
using platform::Access;
using namespace std::string_literals;

constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;
constexpr int kFileExists = 80;
constexpr int kAlreadyExists = 183;

std::string utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path pathOf(const std::string& utf8Text) {
  return fs::path(std::u8string(utf8Text.begin(), utf8Text.end()));
}

class Win32FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Console dialogs: the file system is under test, and no window is needed for it.
    _putenv_s("QUILLBRAID_DIALOGS", "console");
    real_ = platform::makeRealPlatform();
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = fs::temp_directory_path() /
            pathOf("qb w\xC3\xA4lder \xE2\x9C\x93 " + std::to_string(stamp));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  platform::FileSystem& files() { return *real_.fileSystem; }
  // The path as the program holds it: UTF-8 with the system's own separators.
  std::string at(const std::string& name) const { return utf8(root_ / pathOf(name)); }

  void put(const std::string& name, const std::string& bytes) {
    std::ofstream(root_ / pathOf(name), std::ios::binary) << bytes;
  }
  std::string get(const std::string& name) {
    std::ifstream in(root_ / pathOf(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_)) {
      names.insert(utf8(entry.path().filename()));
    }
    return names;
  }
  void expectFailure(std::initializer_list<int> codes) {
    const platform::SystemError& error = files().lastError();
    EXPECT_TRUE(std::find(codes.begin(), codes.end(), error.code) != codes.end()) << error.code;
    ASSERT_FALSE(error.text.empty());
    const char last = error.text.back();
    EXPECT_TRUE(last != '\r' && last != '\n' && last != ' ' && last != '\t')
        << "trailing line end or blank in [" << error.text << "]";
    files().clearError();
  }

  fs::path root_;
  platform::RealPlatform real_;
};

TEST_F(Win32FileSystemTest, WritesAndReadsEveryByteUnderItsOwnName) {
  const std::string bytes = "<a>\r\nb\nc\0d\xFF\xFE"s;
  const std::string names[] = {"plain.xml",
                               "Z\xC3\xBCrich \xE2\x80\x93 na\xC3\xAFve \xE2\x9C\x93.xml",
                               "\xE6\x97\xA5\xE6\x9C\xAC copy .txt", "emoji \xF0\x9F\x98\x80"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    auto out = files().open(at(name), Access::WriteTruncate);
    ASSERT_NE(out, nullptr) << files().lastError().text;
    ASSERT_TRUE(out->write(bytes.data(), 5));
    ASSERT_TRUE(out->write(bytes.data() + 5, bytes.size() - 5));
    ASSERT_TRUE(out->close());
    EXPECT_EQ(get(name), bytes);

    std::uint64_t length = 0;
    ASSERT_TRUE(files().length(at(name), length));
    EXPECT_EQ(length, bytes.size());

    auto in = files().open(at(name), Access::Read);
    ASSERT_NE(in, nullptr);
    struct Read {
      std::uint64_t offset;
      std::size_t size;
      std::string expected;
    };
    const Read reads[] = {{0, 100, bytes},
                          {5, 3, "b\nc"},
                          {7, 100, bytes.substr(7)},
                          {bytes.size(), 4, ""},
                          {bytes.size() + 1000, 4, ""}};
    for (const Read& r : reads) {
      SCOPED_TRACE(r.offset);
      std::string buffer(r.size, '?');
      std::size_t got = 99;
      ASSERT_TRUE(in->readAt(r.offset, buffer.data(), r.size, got));
      EXPECT_EQ(buffer.substr(0, got), r.expected);
    }
    EXPECT_TRUE(in->close());
  }
  EXPECT_EQ(listing(), std::set<std::string>(std::begin(names), std::end(names)));
}

TEST_F(Win32FileSystemTest, OpenModesAndFailures) {
  put("old.txt", "abcdef");
  {
    auto keep = files().open(at("old.txt"), Access::WriteKeep);
    ASSERT_NE(keep, nullptr);
    ASSERT_TRUE(keep->write("XY", 2));
    ASSERT_TRUE(keep->close());
    EXPECT_EQ(get("old.txt"), "XYcdef");
  }
  {
    auto keep = files().open(at("old.txt"), Access::WriteKeep);
    ASSERT_NE(keep, nullptr);
    ASSERT_TRUE(keep->write("Q", 1));
    ASSERT_TRUE(keep->truncate());
    ASSERT_TRUE(keep->write("new", 3));
    ASSERT_TRUE(keep->close());
    EXPECT_EQ(get("old.txt"), "new");
  }
  {
    auto emptied = files().open(at("old.txt"), Access::WriteTruncate);
    ASSERT_NE(emptied, nullptr);
    ASSERT_TRUE(emptied->close());
    EXPECT_EQ(get("old.txt"), "");
  }

  fs::create_directory(root_ / "folder");
  struct Failure {
    const char* name;
    Access access;
    std::initializer_list<int> codes;  // empty: any code but 0
  };
  const Failure failures[] = {
      {"missing.xml", Access::Read, {kFileNotFound}},
      {"no folder\\x.xml", Access::Read, {kPathNotFound}},
      {"no folder\\x.xml", Access::WriteTruncate, {kPathNotFound}},
      {"folder", Access::Read, {}},
      {"folder", Access::WriteTruncate, {}},
      {"folder", Access::WriteKeep, {}},
  };
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.name);
    files().clearError();
    EXPECT_EQ(files().open(at(f.name), f.access), nullptr);
    if (f.codes.size() == 0) {
      EXPECT_NE(files().lastError().code, 0);
      files().clearError();
    } else {
      expectFailure(f.codes);
    }
  }
  EXPECT_FALSE(fs::exists(root_ / "missing.xml"));
}

TEST_F(Win32FileSystemTest, RenameCopyRemoveAndLength) {
  const std::string song = "song \xC3\xA4.xml";
  put(song, "input");
  put("QUILLBRAID.XML", "result");

  EXPECT_FALSE(files().rename(at("QUILLBRAID.XML"), at(song), false));
  expectFailure({kFileExists, kAlreadyExists});
  EXPECT_EQ(get(song), "input");
  EXPECT_EQ(get("QUILLBRAID.XML"), "result");

  ASSERT_TRUE(files().rename(at(song), at(song + "org"), false));
  EXPECT_EQ(get(song + "org"), "input");

  put(song, "a longer stale content");
  ASSERT_TRUE(files().copy(at("QUILLBRAID.XML"), at(song)));
  EXPECT_EQ(get(song), "result");
  EXPECT_EQ(get("QUILLBRAID.XML"), "result");

  EXPECT_FALSE(files().copy(at("missing"), at(song)));
  expectFailure({kFileNotFound});
  EXPECT_EQ(get(song), "result");

  put("tmp", "fresh");
  ASSERT_TRUE(files().rename(at("tmp"), at(song), true));
  EXPECT_EQ(get(song), "fresh");

  ASSERT_TRUE(files().remove(at("QUILLBRAID.XML")));
  EXPECT_FALSE(files().remove(at("QUILLBRAID.XML")));
  expectFailure({kFileNotFound});
  EXPECT_EQ(listing(), (std::set<std::string>{song, song + "org"}));

  std::uint64_t length = 7;
  EXPECT_FALSE(files().length(at("QUILLBRAID.XML"), length));
  expectFailure({kFileNotFound});
  fs::create_directory(root_ / "folder");
  EXPECT_FALSE(files().length(at("folder"), length));
  EXPECT_NE(files().lastError().code, 0);
  EXPECT_EQ(length, 7u);
}

TEST_F(Win32FileSystemTest, LockExcludesLockersButNotReadersOrWriters) {
  put("lock", "data");
  auto first = files().open(at("lock"), Access::WriteKeep);
  auto second = files().open(at("lock"), Access::WriteKeep);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(first->tryLock());
  EXPECT_FALSE(second->tryLock());
  EXPECT_NE(files().lastError().code, 0);

  // The lock must not get in the way of the file's data through other handles.
  auto reader = files().open(at("lock"), Access::Read);
  ASSERT_NE(reader, nullptr);
  char buffer[8] = {};
  std::size_t got = 0;
  EXPECT_TRUE(reader->readAt(0, buffer, sizeof buffer, got));
  EXPECT_EQ(std::string(buffer, got), "data");
  EXPECT_TRUE(second->write("DA", 2));

  ASSERT_TRUE(first->close());
  EXPECT_TRUE(second->tryLock());
  EXPECT_TRUE(second->close());
  EXPECT_TRUE(reader->close());
  EXPECT_EQ(get("lock"), "DAta");
}

}  // namespace
