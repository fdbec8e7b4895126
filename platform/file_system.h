#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// The platform's own code and text for the last failed operation (errno and strerror on POSIX,
// GetLastError and FormatMessage on Windows).
struct SystemError {
  int code = 0;
  std::string text;
};

enum class Access {
  Read,           // existing file, read access only
  WriteTruncate,  // created, or emptied if it exists
  WriteKeep,      // created if missing, never emptied; for taking a lock before truncating
};

// An open file that moves raw bytes. Every failure records its SystemError in the owning
// FileSystem.
class File {
 public:
  virtual ~File() = default;
  // Reads up to `size` bytes at the 0-based `offset`; `got` < size only at the end of the file.
  [[nodiscard]] virtual bool readAt(std::uint64_t offset, char* dst, std::size_t size,
                                    std::size_t& got) = 0;
  // Appends all `size` bytes at the end of what this handle has written.
  [[nodiscard]] virtual bool write(const char* src, std::size_t size) = 0;
  // Takes an exclusive advisory lock without waiting; the system drops it when the process dies.
  [[nodiscard]] virtual bool tryLock() = 0;
  [[nodiscard]] virtual bool close() = 0;
};

// Raw file primitives below the seam; rules about lines and file numbers live above it (FileTable).
// Paths are passed exactly as the program holds them; each backend maps them to its own system.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens `path`; a folder never opens. Returns nullptr on failure.
  virtual std::unique_ptr<File> open(std::string_view path, Access access) = 0;
  [[nodiscard]] virtual bool length(std::string_view path, std::uint64_t& bytes) = 0;
  // With replace false the rename fails when `to` exists.
  [[nodiscard]] virtual bool rename(std::string_view from, std::string_view to, bool replace) = 0;
  // Gives the file `from` the second name `to` (a hard link); fails when `to` exists, and where
  // the file system has no hard links (FAT, exFAT, some network shares).
  [[nodiscard]] virtual bool link(std::string_view from, std::string_view to) = 0;
  // Copies `from` over `to`, replacing it.
  [[nodiscard]] virtual bool copy(std::string_view from, std::string_view to) = 0;
  [[nodiscard]] virtual bool remove(std::string_view path) = 0;
  // Gives `to` the permissions of `from`: its permission bits, and its owner and group where the
  // process may set them (POSIX); its attributes (Windows).
  [[nodiscard]] virtual bool copyPermissions(std::string_view from, std::string_view to) = 0;
  // Puts what was written to `path` on the disk, so that a power cut cannot take it back.
  [[nodiscard]] virtual bool syncFile(std::string_view path) = 0;
  // Puts the names of the folder that holds `path` on the disk, as renames and links left them.
  [[nodiscard]] virtual bool syncFolderOf(std::string_view path) = 0;

  const SystemError& lastError() const { return lastError_; }
  void clearError() { lastError_ = SystemError{}; }
  void setError(int code, std::string text) { lastError_ = SystemError{code, std::move(text)}; }

 private:
  SystemError lastError_;
};

}  // namespace platform
