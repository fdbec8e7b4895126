#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace testsupport {

// Files held as byte strings by exact path, with failures on request.
class MemoryFileSystem : public platform::FileSystem {
 public:
  enum class Op { Open, Read, Write, Truncate, Lock, Close, Length, Rename, Copy, Remove };

  void put(const std::string& path, std::string bytes) { files_[path] = std::move(bytes); }
  [[nodiscard]] bool exists(const std::string& path) const { return files_.count(path) != 0; }
  // The bytes of `path`; fails the test when it does not exist.
  [[nodiscard]] std::string get(const std::string& path) const;
  const std::map<std::string, std::string>& files() const { return files_; }

  // Every `op` on `path` (or on any path, when empty) fails with `code`.
  void failOn(Op op, std::string path = {}, int code = 5);
  // The `n`-th operation of any kind, counting from 1, fails with `code`; 0 disables it.
  void failOperation(std::int64_t n, int code = 5) {
    failAt_ = n;
    failCode_ = code;
  }
  [[nodiscard]] std::int64_t operations() const { return operations_; }
  // Every operation so far, in order: entry n - 1 is operation n.
  struct Operation {
    Op op;
    std::string path;
  };
  const std::vector<Operation>& log() const { return log_; }

  std::unique_ptr<platform::File> open(std::string_view path, platform::Access access) override;
  bool length(std::string_view path, std::uint64_t& bytes) override;
  bool rename(std::string_view from, std::string_view to, bool replace) override;
  bool copy(std::string_view from, std::string_view to) override;
  bool remove(std::string_view path) override;

  // For open handles: true unless the operation is to fail, in which case the error is set.
  bool allow(Op op, std::string_view path);
  std::string* contents(const std::string& path);

 private:
  std::map<std::string, std::string> files_;
  std::map<std::pair<Op, std::string>, int> failures_;
  std::int64_t operations_ = 0;
  std::vector<Operation> log_;
  std::int64_t failAt_ = 0;
  int failCode_ = 5;
};

}  // namespace testsupport
