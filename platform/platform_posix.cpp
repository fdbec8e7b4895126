#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/console_dialogs.h"
#include "platform/real_platform.h"

namespace platform {
namespace {

// The calling sequence cannot carry "/" inside a path, since "/" ends the path; callers write
// folders with backslashes, which on this system are the folder separator.
std::string nativePath(std::string_view path) {
  std::string p(path);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

class PosixFileSystem;

class PosixFile : public File {
 public:
  PosixFile(PosixFileSystem& fs, int fd) : fs_(fs), fd_(fd) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool readAt(std::uint64_t offset, char* dst, std::size_t size, std::size_t& got) override;
  bool write(const char* src, std::size_t size) override;
  bool tryLock() override;
  bool close() override;
  int fd() const { return fd_; }

 private:
  bool fail();
  PosixFileSystem& fs_;
  int fd_;
};

// renameat2 and copy_file_range exist on Linux only; elsewhere, and with `portable` on Linux too,
// the file system keeps to the calls that every POSIX system has.
class PosixFileSystem : public FileSystem {
 public:
  explicit PosixFileSystem(bool portable) : portable_(portable) {}

  bool fail() {
    // errno first: strerror and anything after it may overwrite it.
    const int code = errno;
    setError(code, std::strerror(code));
    return false;
  }

  std::unique_ptr<File> open(std::string_view path, Access access) override {
    const std::string p = nativePath(path);
    int flags = O_CLOEXEC;
    switch (access) {
      case Access::Read:
        flags |= O_RDONLY;
        break;
      case Access::WriteTruncate:  // emptied below, only when it holds anything
      case Access::WriteKeep:
        flags |= O_WRONLY | O_CREAT;
        break;
    }
    const int fd = ::open(p.c_str(), flags, 0666);
    if (fd < 0) {
      fail();
      return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      if (S_ISDIR(st.st_mode)) errno = EISDIR;
      fail();
      ::close(fd);
      return nullptr;
    }
    // Truncating makes some file systems (ext4) write the whole file out when it is closed, as
    // they do for a file rewritten in place. The output, created empty by the folder lock just
    // before, would pay for that on every run; an empty file needs no truncating.
    if (access == Access::WriteTruncate && S_ISREG(st.st_mode) && st.st_size > 0 &&
        ::ftruncate(fd, 0) != 0) {
      fail();
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(*this, fd);
  }

  bool length(std::string_view path, std::uint64_t& bytes) override {
    struct stat st {};
    if (::stat(nativePath(path).c_str(), &st) != 0) return fail();
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return fail();
    }
    bytes = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  bool rename(std::string_view from, std::string_view to, bool replace) override {
    const std::string f = nativePath(from);
    const std::string t = nativePath(to);
    if (replace) return ::rename(f.c_str(), t.c_str()) == 0 || fail();
#if defined(__linux__)
    if (!portable_) {
      if (::renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) return true;
      // A file system without an atomic no-replace rename takes the portable way.
      if (errno != EINVAL && errno != ENOSYS) return fail();
    }
#endif
    // A hard link fails when the target exists, so an existing file is never replaced; a crash
    // between the two steps leaves both names, never neither.
    if (::link(f.c_str(), t.c_str()) != 0) return fail();
    return ::unlink(f.c_str()) == 0 || fail();
  }

  bool link(std::string_view from, std::string_view to) override {
    return ::link(nativePath(from).c_str(), nativePath(to).c_str()) == 0 || fail();
  }

  bool copy(std::string_view from, std::string_view to) override {
    auto in = open(from, Access::Read);
    if (!in) return false;
    auto out = open(to, Access::WriteTruncate);
    if (!out) return false;
    std::uint64_t offset = 0;
    bool whole = false;
#if defined(__linux__)
    if (!portable_) {
      whole = copyInKernel(static_cast<PosixFile&>(*in), static_cast<PosixFile&>(*out), offset);
    }
#endif
    if (!whole) {
      // What the kernel could not copy goes through a buffer, from where it stopped; a real
      // failure shows up again there and is reported.
      std::vector<char> block(kCopyBlock);
      for (;;) {
        std::size_t got = 0;
        if (!in->readAt(offset, block.data(), block.size(), got)) return false;
        if (got == 0) break;
        if (!out->write(block.data(), got)) return false;
        offset += got;
      }
    }
    return in->close() && out->close();
  }

  bool remove(std::string_view path) override {
    return ::unlink(nativePath(path).c_str()) == 0 || fail();
  }

  // Only a process that may give files away (root) takes the owner and group along; for any other
  // the file stays its own, as every file it creates is.
  bool copyPermissions(std::string_view from, std::string_view to) override {
    struct stat st {};
    const std::string t = nativePath(to);
    if (::stat(nativePath(from).c_str(), &st) != 0) return fail();
    // The owner first: chown may clear the set-user and set-group bits that the mode then sets.
    if (::geteuid() == 0 && ::chown(t.c_str(), st.st_uid, st.st_gid) != 0) return fail();
    return ::chmod(t.c_str(), st.st_mode & 07777) == 0 || fail();
  }

  bool syncFile(std::string_view path) override {
    const int fd = ::open(nativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail();
    const bool ok = ::fsync(fd) == 0 || fail();
    ::close(fd);
    return ok;
  }

  // A folder's names reach the disk through a sync of the folder itself. A file system that cannot
  // sync a folder (EINVAL) keeps its names by its own rules, and is not held against the run.
  bool syncFolderOf(std::string_view path) override {
    std::string folder = nativePath(path);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail();
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL || fail();
    ::close(fd);
    return ok;
  }

 private:
  static constexpr std::size_t kCopyBlock = std::size_t{1} << 20;
  [[maybe_unused]] bool portable_;

  // Copies from the start of `in` to `out` without passing the bytes through this process;
  // `copied` tells how far that got. True when the whole file was copied. Some file systems and
  // kernels cannot copy this way, or report nothing copied instead of an error; the caller then
  // copies the rest itself.
#if defined(__linux__)
  static bool copyInKernel(PosixFile& in, PosixFile& out, std::uint64_t& copied) {
    struct stat st {};
    if (::fstat(in.fd(), &st) != 0) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    while (copied < size) {
      const ssize_t n = ::copy_file_range(in.fd(), nullptr, out.fd(), nullptr,
                                          static_cast<std::size_t>(size - copied), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      copied += static_cast<std::uint64_t>(n);
    }
    return true;
  }
#endif
};

bool PosixFile::fail() { return fs_.fail(); }

bool PosixFile::readAt(std::uint64_t offset, char* dst, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd_, dst + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool PosixFile::write(const char* src, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, src, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    src += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool PosixFile::tryLock() { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0 || fail(); }

bool PosixFile::close() {
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 || fail();
}

}  // namespace

std::unique_ptr<FileSystem> makeFileSystem(bool portable) {
  return std::make_unique<PosixFileSystem>(portable);
}

RealPlatform makeRealPlatform() {
  return RealPlatform{makeFileSystem(QB_PORTABLE_POSIX != 0),
                      std::make_unique<ConsoleDialogs>(stderr, stdin, stdout),
                      std::make_unique<ConsoleProcess>(stdin)};
}

std::string Process::environmentVariable(std::string_view name) const {
  const char* value = std::getenv(std::string(name).c_str());
  return value != nullptr ? value : "";
}

std::string commandLine(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line.push_back(' ');
    line += argv[i];
  }
  return line;
}

}  // namespace platform
