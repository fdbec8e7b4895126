#include "tests/support/memory_file_system.h"

#include <algorithm>
#include <cstring>

namespace testsupport {
namespace {

using Op = MemoryFileSystem::Op;

class MemoryFile : public platform::File {
 public:
  MemoryFile(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  ~MemoryFile() override { unlock(); }

  bool readAt(std::uint64_t offset, char* dst, std::size_t size, std::size_t& got) override {
    got = 0;
    if (!fs_.allow(Op::Read, path_)) return false;
    // A file removed or renamed while open reads as empty here; the program never does that.
    const auto it = fs_.files.find(path_);
    if (it != fs_.files.end() && offset < it->second.size()) {
      got = std::min<std::size_t>(size, it->second.size() - offset);
      std::memcpy(dst, it->second.data() + offset, got);
    }
    return true;
  }
  bool write(const char* src, std::size_t size) override {
    if (!fs_.allow(Op::Write, path_)) return false;
    const auto it = fs_.files.find(path_);
    if (it != fs_.files.end()) {
      it->second.resize(std::max(it->second.size(), position_ + size));
      it->second.replace(position_, size, src, size);
    }
    position_ += size;
    return true;
  }
  bool tryLock() override {
    if (!fs_.allow(Op::Lock, path_)) return false;
    if (!locks_ && !fs_.locked.insert(path_).second) {
      fs_.setError(11, "Resource temporarily unavailable");
      return false;
    }
    return locks_ = true;
  }
  bool close() override {
    unlock();
    return fs_.allow(Op::Close, path_);
  }

 private:
  void unlock() {
    if (locks_) fs_.locked.erase(path_);
    locks_ = false;
  }
  MemoryFileSystem& fs_;
  std::string path_;
  std::size_t position_ = 0;
  bool locks_ = false;
};

}  // namespace

std::string MemoryFileSystem::normal(std::string_view path) {
  std::string p(path);
  std::replace(p.begin(), p.end(), '\\', '/');
  for (std::size_t at; (at = p.find("//")) != std::string::npos;) p.erase(at, 1);
  while (p.starts_with("./")) p.erase(0, 2);
  for (std::size_t at; (at = p.find("/./")) != std::string::npos;) p.erase(at, 2);
  return p;
}

void MemoryFileSystem::failOn(Op op, std::string_view path, int nth, int code) {
  failures_.push_back(Failure{op, normal(path), nth, code, 0});
}

bool MemoryFileSystem::fail(int code, const char* text) {
  setError(code, text);
  return false;
}

bool MemoryFileSystem::allow(Op op, const std::string& path) {
  if (crashAt_ != 0 && static_cast<std::int64_t>(log.size()) + 1 >= crashAt_) throw Crash{};
  log.emplace_back(op, path);
  if (static_cast<std::int64_t>(log.size()) == failAt_) return fail(5, "Simulated failure 5");
  for (Failure& f : failures_) {
    if (f.op == op && f.path == path && (++f.seen == f.nth || f.nth == 0)) {
      return fail(f.code, ("Simulated failure " + std::to_string(f.code)).c_str());
    }
  }
  return true;
}

bool MemoryFileSystem::hasFolder(const std::string& path) const {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || isFolder(path.substr(0, slash));
}

bool MemoryFileSystem::isFolder(const std::string& path) const {
  const auto next = files.lower_bound(path + "/");
  return path.empty() || (next != files.end() && next->first.starts_with(path + "/"));
}

std::unique_ptr<platform::File> MemoryFileSystem::open(std::string_view path,
                                                       platform::Access access) {
  const std::string p = normal(path);
  if (!allow(Op::Open, p)) return nullptr;
  if (isFolder(p)) return fail(21, "Is a directory"), nullptr;
  if (access == platform::Access::Read) {
    if (files.count(p) == 0) return fail(2, "No such file or directory"), nullptr;
  } else {
    if (!hasFolder(p)) return fail(2, "No such file or directory"), nullptr;
    if (access == platform::Access::WriteTruncate) files[p].clear();
    files.try_emplace(p);
  }
  return std::make_unique<MemoryFile>(*this, p);
}

bool MemoryFileSystem::length(std::string_view path, std::uint64_t& bytes) {
  const std::string p = normal(path);
  if (!allow(Op::Length, p)) return false;
  if (isFolder(p)) return fail(21, "Is a directory");
  if (files.count(p) == 0) return fail(2, "No such file or directory");
  bytes = files[p].size();
  return true;
}

bool MemoryFileSystem::rename(std::string_view from, std::string_view to, bool replace) {
  const std::string f = normal(from), t = normal(to);
  if (!allow(Op::Rename, f)) return false;
  if (files.count(f) == 0 || !hasFolder(t)) return fail(2, "No such file or directory");
  if (isFolder(t)) return fail(21, "Is a directory");
  if (!replace && files.count(t) != 0) return fail(17, "File exists");
  std::string bytes = std::move(files[f]);
  files.erase(f);
  files[t] = std::move(bytes);
  return true;
}

bool MemoryFileSystem::link(std::string_view from, std::string_view to) {
  const std::string f = normal(from), t = normal(to);
  if (!allow(Op::Link, f)) return false;
  if (files.count(f) == 0 || !hasFolder(t)) return fail(2, "No such file or directory");
  if (files.count(t) != 0 || isFolder(t)) return fail(17, "File exists");
  files[t] = files[f];
  return true;
}

bool MemoryFileSystem::copy(std::string_view from, std::string_view to) {
  const std::string f = normal(from), t = normal(to);
  const bool allowed = allow(Op::Copy, f);
  if (files.count(f) == 0 || !hasFolder(t)) return fail(2, "No such file or directory");
  if (isFolder(t)) return fail(21, "Is a directory");
  // A copy that breaks off has emptied the target and written part of it, as a real one has.
  const std::string& bytes = files[f];
  files[t] = allowed ? bytes : bytes.substr(0, bytes.size() / 2);
  return allowed;
}

bool MemoryFileSystem::remove(std::string_view path) {
  const std::string p = normal(path);
  if (!allow(Op::Remove, p)) return false;
  if (files.erase(p) == 0) return fail(2, "No such file or directory");
  return true;
}

}  // namespace testsupport
