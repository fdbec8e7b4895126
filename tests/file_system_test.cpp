// One contract for every file system the program runs on: the system's own (and, on Linux, the
// way it takes on other POSIX systems) and the memory one the other tests use, so that what
// passes in memory holds on disk.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "platform/real_platform.h"
#include "tests/support/memory_file_system.h"

namespace {

using platform::Access;

struct Backend {
  const char* name;
  std::function<std::unique_ptr<platform::FileSystem>()> make;
  bool inMemory;
};

void PrintTo(const Backend& backend, std::ostream* os) { *os << backend.name; }

class FileSystemContract : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    fs_ = GetParam().make();
    if (GetParam().inMemory) return;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = std::filesystem::temp_directory_path() / ("qb-fs-" + std::to_string(stamp));
    std::filesystem::create_directories(dir_);
    root_ = dir_.string() + "/";
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string at(const std::string& name) const { return root_ + name; }
  void folder(const std::string& name) {
    if (GetParam().inMemory) {
      auto& memory = static_cast<testsupport::MemoryFileSystem&>(*fs_);
      testsupport::Files files = memory.files();
      files[name + "/keep"];
      memory.setFiles(files);
    } else {
      std::filesystem::create_directories(dir_ / name);
    }
  }
  bool put(const std::string& name, const std::string& bytes,
           Access access = Access::WriteTruncate) {
    auto file = fs_->open(at(name), access);
    return file && file->write(bytes.data(), bytes.size()) && file->close();
  }
  // Every byte of the file, read in pieces.
  std::string get(const std::string& name) {
    auto file = fs_->open(at(name), Access::Read);
    if (!file) return "<missing>";
    std::string bytes;
    char piece[1 << 16];
    for (std::size_t got = 1; got != 0;) {
      EXPECT_TRUE(file->readAt(bytes.size(), piece, sizeof piece, got));
      bytes.append(piece, got);
    }
    return bytes;
  }
  unsigned mode(const std::string& name) {
    if (GetParam().inMemory) return static_cast<testsupport::MemoryFileSystem&>(*fs_).mode(name);
    return static_cast<unsigned>(std::filesystem::status(at(name)).permissions());
  }
  void setMode(const std::string& name, unsigned mode) {
    if (GetParam().inMemory) {
      return static_cast<testsupport::MemoryFileSystem&>(*fs_).setMode(name, mode);
    }
    std::filesystem::permissions(at(name), static_cast<std::filesystem::perms>(mode));
  }

  std::unique_ptr<platform::FileSystem> fs_;
  std::filesystem::path dir_;
  std::string root_;
};

TEST_P(FileSystemContract, BytesWrittenInPiecesReadBackAtAnyOffset) {
  const std::string bytes("a\0\r\n\xFF z", 7);
  auto file = fs_->open(at("f"), Access::WriteTruncate);
  ASSERT_TRUE(file && file->write(bytes.data(), 3) && file->write(bytes.data() + 3, 4));
  ASSERT_TRUE(file->close());
  std::uint64_t length = 0;
  ASSERT_TRUE(fs_->length(at("f"), length));
  EXPECT_EQ(length, 7u);
  file = fs_->open(at("f"), Access::Read);
  char part[8] = {};
  std::size_t got = 0;
  ASSERT_TRUE(file && file->readAt(2, part, 8, got));
  EXPECT_EQ(std::string(part, got), bytes.substr(2)) << "a short read at the end";
  ASSERT_TRUE(file->readAt(9, part, 8, got));
  EXPECT_EQ(got, 0u);
}

TEST_P(FileSystemContract, OpenModes) {
  ASSERT_TRUE(put("f", "old bytes"));
  ASSERT_TRUE(put("f", "new", Access::WriteKeep));
  EXPECT_EQ(get("f"), "new bytes") << "a kept file is written from its start";
  ASSERT_TRUE(put("f", "new"));
  EXPECT_EQ(get("f"), "new");
  ASSERT_TRUE(put("g", "made", Access::WriteKeep));
  EXPECT_EQ(get("g"), "made");
  folder("sub");
  ASSERT_TRUE(put("sub\\in folder \xC3\xBC\xE2\x9C\x93.xml", "x"))
      << "a backslash separates folders";
  EXPECT_EQ(get("sub/in folder \xC3\xBC\xE2\x9C\x93.xml"), "x");
}

TEST_P(FileSystemContract, FailuresLeaveAnErrorCode) {
  folder("dir");
  std::uint64_t length = 0;
  for (const char* name : {"missing", "dir"}) {
    SCOPED_TRACE(name);
    fs_->clearError();
    EXPECT_EQ(fs_->open(at(name), Access::Read), nullptr);
    EXPECT_NE(fs_->lastError().code, 0);
    EXPECT_FALSE(fs_->length(at(name), length));
    EXPECT_FALSE(fs_->remove(at(name)));
    EXPECT_FALSE(fs_->copy(at(name), at("target")));
  }
  EXPECT_EQ(fs_->open(at("dir"), Access::WriteTruncate), nullptr) << "a folder never opens";
  EXPECT_EQ(fs_->open(at("no folder/f"), Access::WriteTruncate), nullptr);
  ASSERT_TRUE(put("f", "bytes"));
  EXPECT_FALSE(fs_->copy(at("f"), at("no folder/f"))) << "a copy without its target";
  EXPECT_EQ(get("target"), "<missing>");
}

TEST_P(FileSystemContract, RenameLinkCopyRemove) {
  ASSERT_TRUE(put("a", "alpha") && put("b", "beta"));
  EXPECT_FALSE(fs_->rename(at("a"), at("b"), false)) << "never replaces without being asked";
  EXPECT_FALSE(fs_->link(at("a"), at("b"))) << "a link never replaces";
  EXPECT_FALSE(fs_->link(at("missing"), at("d")));
  EXPECT_EQ(get("a") + get("b") + get("d"), "alphabeta<missing>");
  ASSERT_TRUE(fs_->link(at("a"), at("second")));
  ASSERT_TRUE(put("second", "ALPHA", Access::WriteKeep));
  EXPECT_EQ(get("a"), "ALPHA") << "two names of one file share its bytes";
  ASSERT_TRUE(put("a", "alpha"));
  EXPECT_EQ(get("second"), "alpha") << "emptied and written through its other name";
  ASSERT_TRUE(fs_->remove(at("second")));
  EXPECT_EQ(get("a") + get("second"), "alpha<missing>") << "either name goes alone";
  ASSERT_TRUE(fs_->rename(at("a"), at("c"), false));
  EXPECT_EQ(get("a") + get("c"), "<missing>alpha");
  ASSERT_TRUE(fs_->rename(at("c"), at("b"), true));
  EXPECT_EQ(get("c") + get("b"), "<missing>alpha");
  // Bytes that tell offsets apart, but for multiples of 251, which no block size is.
  std::string large(3 << 20 | 5, '\0');
  for (std::size_t k = 0; k < large.size(); ++k) large[k] = static_cast<char>(k % 251);
  ASSERT_TRUE(put("large", large) && put("copy", large + large));
  ASSERT_TRUE(fs_->copy(at("large"), at("copy")));
  EXPECT_TRUE(get("copy") == large) << "every byte, once";
  std::uint64_t length = 0;
  EXPECT_TRUE(fs_->length(at("copy"), length) && length == large.size());
  ASSERT_TRUE(fs_->remove(at("copy")));
  EXPECT_EQ(get("copy"), "<missing>");
#ifndef _WIN32
  if (!GetParam().inMemory) {  // a disk that fills up in the middle of a copy
    std::filesystem::create_symlink("/dev/full", dir_ / "full");
    EXPECT_FALSE(fs_->copy(at("large"), at("full"))) << "a write that fails fails the copy";
  }
#endif
}

// A file the program makes is for reading and writing only; a copied file may take another's
// permissions; what was written and named can be put on the disk.
TEST_P(FileSystemContract, PermissionsAndSyncs) {
  ASSERT_TRUE(put("made", "x") && put("private", "y"));
  EXPECT_EQ(mode("made") & 0111, 0u) << "no execute bit";
  setMode("private", 0600);  // which Windows shows as 0666: no file there is for one user alone
  ASSERT_TRUE(fs_->copyPermissions(at("private"), at("made")));
  EXPECT_EQ(mode("made") & 0777, mode("private") & 0777);
  EXPECT_FALSE(fs_->copyPermissions(at("missing"), at("made")));
  EXPECT_TRUE(fs_->syncFile(at("made")) && fs_->syncFolderOf(at("made")));
  EXPECT_FALSE(fs_->syncFile(at("missing")));
  EXPECT_EQ(get("made"), "x");
}

TEST_P(FileSystemContract, ALockExcludesOtherLockersUntilItsHandleCloses) {
  auto first = fs_->open(at("lock"), Access::WriteKeep);
  auto second = fs_->open(at("lock"), Access::WriteKeep);
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->tryLock());
  EXPECT_FALSE(second->tryLock());
  EXPECT_TRUE(put("lock", "written")) << "a lock keeps out lockers only";
  EXPECT_EQ(get("lock"), "written");
  ASSERT_TRUE(first->close());
  EXPECT_TRUE(second->tryLock());
}

INSTANTIATE_TEST_SUITE_P(
    All, FileSystemContract,
    testing::Values(
        Backend{"memory", [] { return std::make_unique<testsupport::MemoryFileSystem>(); }, true},
        Backend{"system", [] { return platform::makeRealPlatform().fileSystem; }, false},
        Backend{"portable", [] { return platform::makeFileSystem(true); }, false}),
    [](const testing::TestParamInfo<Backend>& p) { return std::string(p.param.name); });

}  // namespace
