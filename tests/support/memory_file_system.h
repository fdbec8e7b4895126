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

// Files as byte strings by path ("/" and "\" separate folders); a folder exists while a file lies
// in it. Behaves as the real backends do where the program can tell (the file-system contract).
class MemoryFileSystem : public platform::FileSystem {
 public:
  enum class Op { Open, Read, Write, Lock, Close, Length, Rename, Link, Copy, Remove };
  static constexpr const char* kOpNames[] = {"Open",   "Read",   "Write", "Lock", "Close",
                                             "Length", "Rename", "Link",  "Copy", "Remove"};
  // Thrown by the operation at which the process dies (crashAt), and by every one after it.
  struct Crash {};

  // A link here is a copy: the program never writes a file it linked.
  std::map<std::string, std::string> files;

  // The `nth` (from 1; 0: every) operation `op` on `path` fails with `code`.
  void failOn(Op op, std::string_view path, int nth = 0, int code = 5);
  // The `n`-th operation of any kind (from 1) fails with code 5; 0 disables it.
  void failOperation(std::int64_t n) { failAt_ = n; }
  // The process dies at the `n`-th operation (from 1), as under a kill: that operation and every
  // later one throw Crash and change nothing, so `files` keeps what the moment left.
  void crashAt(std::int64_t n) { crashAt_ = n; }
  // Every operation so far, in order.
  std::vector<std::pair<Op, std::string>> log;

  std::unique_ptr<platform::File> open(std::string_view path, platform::Access access) override;
  bool length(std::string_view path, std::uint64_t& bytes) override;
  bool rename(std::string_view from, std::string_view to, bool replace) override;
  bool link(std::string_view from, std::string_view to) override;
  bool copy(std::string_view from, std::string_view to) override;
  bool remove(std::string_view path) override;

  static std::string normal(std::string_view path);
  bool allow(Op op, const std::string& path);  // false (error set) when the operation is to fail
  bool isFolder(const std::string& path) const;
  bool hasFolder(const std::string& path) const;  // the folder `path` would lie in exists
  std::set<std::string> locked;

 private:
  bool fail(int code, const char* text);
  struct Failure {
    Op op;
    std::string path;
    int nth, code, seen;
  };
  std::vector<Failure> failures_;
  std::int64_t failAt_ = 0;
  std::int64_t crashAt_ = 0;
};

}  // namespace testsupport
