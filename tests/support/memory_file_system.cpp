#include "tests/support/memory_file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace testsupport {
namespace {

using Op = MemoryFileSystem::Op;

class MemoryFile : public platform::File {
 public:
  MemoryFile(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}

  bool readAt(std::uint64_t offset, char* dst, std::size_t size, std::size_t& got) override {
    got = 0;
    if (!fs_.allow(Op::Read, path_)) return false;
    const std::string* bytes = fs_.contents(path_);
    if (bytes == nullptr || offset >= bytes->size()) return true;
    got = std::min<std::size_t>(size, bytes->size() - static_cast<std::size_t>(offset));
    std::memcpy(dst, bytes->data() + offset, got);
    return true;
  }
  bool write(const char* src, std::size_t size) override {
    if (!fs_.allow(Op::Write, path_)) return false;
    std::string* bytes = fs_.contents(path_);
    if (bytes != nullptr) bytes->append(src, size);
    return true;
  }
  bool truncate() override {
    if (!fs_.allow(Op::Truncate, path_)) return false;
    if (std::string* bytes = fs_.contents(path_)) bytes->clear();
    return true;
  }
  bool tryLock() override { return fs_.allow(Op::Lock, path_); }
  bool close() override { return fs_.allow(Op::Close, path_); }

 private:
  MemoryFileSystem& fs_;
  std::string path_;
};

}  // namespace

std::string MemoryFileSystem::get(const std::string& path) const {
  const auto it = files_.find(path);
  if (it == files_.end()) {
    ADD_FAILURE() << "no file " << path;
    return {};
  }
  return it->second;
}

void MemoryFileSystem::failOn(Op op, std::string path, int code) {
  failures_[{op, std::move(path)}] = code;
}

bool MemoryFileSystem::allow(Op op, std::string_view path) {
  ++operations_;
  log_.push_back(Operation{op, std::string(path)});
  int code = 0;
  if (operations_ == failAt_) code = failCode_;
  for (const auto& key :
       {std::make_pair(op, std::string(path)), std::make_pair(op, std::string())}) {
    const auto it = failures_.find(key);
    if (it != failures_.end()) code = it->second;
  }
  if (code == 0) return true;
  setError(code, "Simulated failure " + std::to_string(code));
  return false;
}

std::string* MemoryFileSystem::contents(const std::string& path) {
  const auto it = files_.find(path);
  return it == files_.end() ? nullptr : &it->second;
}

std::unique_ptr<platform::File> MemoryFileSystem::open(std::string_view path,
                                                       platform::Access access) {
  const std::string p(path);
  if (!allow(Op::Open, p)) return nullptr;
  if (access == platform::Access::Read) {
    if (!exists(p)) {
      setError(2, "No such file or directory");
      return nullptr;
    }
  } else if (access == platform::Access::WriteTruncate || !exists(p)) {
    files_[p].clear();
  }
  return std::make_unique<MemoryFile>(*this, p);
}

bool MemoryFileSystem::length(std::string_view path, std::uint64_t& bytes) {
  const std::string p(path);
  if (!allow(Op::Length, p)) return false;
  if (!exists(p)) {
    setError(2, "No such file or directory");
    return false;
  }
  bytes = files_[p].size();
  return true;
}

bool MemoryFileSystem::rename(std::string_view from, std::string_view to, bool replace) {
  const std::string f(from), t(to);
  if (!allow(Op::Rename, f)) return false;
  if (!exists(f)) {
    setError(2, "No such file or directory");
    return false;
  }
  if (!replace && exists(t)) {
    setError(17, "File exists");
    return false;
  }
  std::string bytes = std::move(files_[f]);
  files_.erase(f);
  files_[t] = std::move(bytes);
  return true;
}

bool MemoryFileSystem::copy(std::string_view from, std::string_view to) {
  const std::string f(from), t(to);
  if (!allow(Op::Copy, f)) return false;
  if (!exists(f)) {
    setError(2, "No such file or directory");
    return false;
  }
  files_[t] = files_[f];
  return true;
}

bool MemoryFileSystem::remove(std::string_view path) {
  const std::string p(path);
  if (!allow(Op::Remove, p)) return false;
  if (files_.erase(p) == 0) {
    setError(2, "No such file or directory");
    return false;
  }
  return true;
}

}  // namespace testsupport
