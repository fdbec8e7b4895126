#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace testsupport {

using Files = std::map<std::string, std::string>;  // bytes by path

// Files as byte strings by path ("/" and "\" separate folders); a folder exists while a file lies
// in it. Behaves as the real backends do where the program can tell (the file-system contract):
// a name leads to a file, and two names of one file (a hard link) share its bytes. It can fail
// any operation, die at one (a kill), and lose what a power cut loses: every byte written since a
// file's last sync, every name given or taken since its folder's last sync.
class MemoryFileSystem : public platform::FileSystem {
 public:
  // The operations, by the names the golden cases' `fail` files give them.
  enum class Op {
    Open,
    Read,
    Write,
    Lock,
    Close,
    Length,
    Rename,
    Link,
    Copy,
    Remove,
    Mode,
    Sync,
    SyncFolder
  };
  static constexpr const char* kOpNames[] = {"Open",   "Read",   "Write",     "Lock", "Close",
                                             "Length", "Rename", "Link",      "Copy", "Remove",
                                             "Mode",   "Sync",   "SyncFolder"};
  // Thrown by the operation at which the process dies (crashAt), and by every one after it.
  struct Crash {};

  // The files as they stand; setting them makes them all as durable as files long on the disk.
  Files files() const;
  void setFiles(const Files& files);
  // The files as a power cut now would leave them.
  Files afterPowerCut() const;
  // A file's permission bits (0644 unless set, or given through copyPermissions).
  unsigned mode(const std::string& path) const;
  void setMode(const std::string& path, unsigned mode);

  // The `nth` (from 1; 0: every) operation `op` on `path` fails with `code`.
  void failOn(Op op, std::string_view path, int nth = 0, int code = 5);
  // The `n`-th operation of any kind (from 1) fails with code 5; 0 disables it.
  void failOperation(std::int64_t n) { failAt_ = n; }
  // The process dies at the `n`-th operation (from 1), as under a kill: that operation and every
  // later one throw Crash and change nothing, so the files keep what the moment left.
  void crashAt(std::int64_t n) { crashAt_ = n; }
  // Every operation so far, in order.
  std::vector<std::pair<Op, std::string>> log;

  std::unique_ptr<platform::File> open(std::string_view path, platform::Access access) override;
  bool length(std::string_view path, std::uint64_t& bytes) override;
  bool rename(std::string_view from, std::string_view to, bool replace) override;
  bool link(std::string_view from, std::string_view to) override;
  bool copy(std::string_view from, std::string_view to) override;
  bool remove(std::string_view path) override;
  bool copyPermissions(std::string_view from, std::string_view to) override;
  bool syncFile(std::string_view path) override;
  bool syncFolderOf(std::string_view path) override;

  // A file, which any number of names may lead to.
  struct Node {
    std::string bytes;
    std::string synced;  // what a power cut leaves of it
    unsigned mode = 0644;
  };
  static std::string normal(std::string_view path);
  bool allow(Op op, const std::string& path);  // false (error set) when the operation is to fail
  std::set<std::string> locked;

 private:
  bool fail(int code, const char* text);
  bool isFolder(const std::string& path) const;
  bool hasFolder(const std::string& path) const;  // the folder `path` would lie in exists
  std::shared_ptr<Node> find(const std::string& path) const;
  struct Failure {
    Op op;
    std::string path;
    int nth, code, seen;
  };
  std::map<std::string, std::shared_ptr<Node>> names_;
  std::map<std::string, std::shared_ptr<Node>> durableNames_;  // as of each folder's last sync
  std::vector<Failure> failures_;
  std::int64_t failAt_ = 0;
  std::int64_t crashAt_ = 0;
};

}  // namespace testsupport
