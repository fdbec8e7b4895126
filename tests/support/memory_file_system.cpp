#include "tests/support/memory_file_system.h"

#include <algorithm>
#include <cstring>

namespace testsupport {
namespace {

using Op = MemoryFileSystem::Op;
using Node = MemoryFileSystem::Node;

// An open file reaches its node, not its name: renamed or removed while open, it is still there.
class MemoryFile : public platform::File {
 public:
  MemoryFile(MemoryFileSystem& fs, std::string path, std::shared_ptr<Node> node)
      : fs_(fs), path_(std::move(path)), node_(std::move(node)) {}
  ~MemoryFile() override { unlock(); }

  bool readAt(std::uint64_t offset, char* dst, std::size_t size, std::size_t& got) override {
    got = 0;
    if (!fs_.allow(Op::Read, path_)) return false;
    if (offset < node_->bytes.size()) {
      got = std::min<std::size_t>(size, node_->bytes.size() - offset);
      std::memcpy(dst, node_->bytes.data() + offset, got);
    }
    return true;
  }
  bool write(const char* src, std::size_t size) override {
    if (!fs_.allow(Op::Write, path_)) return false;
    std::string& bytes = node_->bytes;
    bytes.resize(std::max(bytes.size(), position_ + size));
    bytes.replace(position_, size, src, size);
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
  std::shared_ptr<Node> node_;
  std::size_t position_ = 0;
  bool locks_ = false;
};

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

Files MemoryFileSystem::files() const {
  Files files;
  for (const auto& [name, node] : names_) files[name] = node->bytes;
  return files;
}

void MemoryFileSystem::setFiles(const Files& files) {
  names_.clear();
  for (const auto& [name, bytes] : files) {
    names_[normal(name)] = std::make_shared<Node>(Node{bytes, bytes});
  }
  durableNames_ = names_;
}

Files MemoryFileSystem::afterPowerCut() const {
  Files files;
  for (const auto& [name, node] : durableNames_) files[name] = node->synced;
  return files;
}

unsigned MemoryFileSystem::mode(const std::string& path) const {
  const auto node = find(normal(path));
  return node ? node->mode : 0;
}

void MemoryFileSystem::setMode(const std::string& path, unsigned mode) {
  if (const auto node = find(normal(path))) node->mode = mode;
}

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

std::shared_ptr<Node> MemoryFileSystem::find(const std::string& path) const {
  const auto it = names_.find(path);
  return it == names_.end() ? nullptr : it->second;
}

bool MemoryFileSystem::hasFolder(const std::string& path) const {
  const std::string folder = folderOf(path);
  return folder.empty() || isFolder(folder);
}

bool MemoryFileSystem::isFolder(const std::string& path) const {
  const auto next = names_.lower_bound(path + "/");
  return path.empty() || (next != names_.end() && next->first.starts_with(path + "/"));
}

std::unique_ptr<platform::File> MemoryFileSystem::open(std::string_view path,
                                                       platform::Access access) {
  const std::string p = normal(path);
  if (!allow(Op::Open, p)) return nullptr;
  if (isFolder(p)) return fail(21, "Is a directory"), nullptr;
  std::shared_ptr<Node> node = find(p);
  if (access == platform::Access::Read) {
    if (!node) return fail(2, "No such file or directory"), nullptr;
  } else if (!node) {
    if (!hasFolder(p)) return fail(2, "No such file or directory"), nullptr;
    node = names_[p] = std::make_shared<Node>();
  } else if (access == platform::Access::WriteTruncate) {
    node->bytes.clear();
  }
  return std::make_unique<MemoryFile>(*this, p, node);
}

bool MemoryFileSystem::length(std::string_view path, std::uint64_t& bytes) {
  const std::string p = normal(path);
  if (!allow(Op::Length, p)) return false;
  if (isFolder(p)) return fail(21, "Is a directory");
  const auto node = find(p);
  if (!node) return fail(2, "No such file or directory");
  bytes = node->bytes.size();
  return true;
}

bool MemoryFileSystem::rename(std::string_view from, std::string_view to, bool replace) {
  const std::string f = normal(from), t = normal(to);
  if (!allow(Op::Rename, f)) return false;
  if (!find(f) || !hasFolder(t)) return fail(2, "No such file or directory");
  if (isFolder(t)) return fail(21, "Is a directory");
  if (!replace && find(t)) return fail(17, "File exists");
  names_[t] = names_[f];
  if (t != f) names_.erase(f);
  return true;
}

bool MemoryFileSystem::link(std::string_view from, std::string_view to) {
  const std::string f = normal(from), t = normal(to);
  if (!allow(Op::Link, f)) return false;
  if (!find(f) || !hasFolder(t)) return fail(2, "No such file or directory");
  if (find(t) || isFolder(t)) return fail(17, "File exists");
  names_[t] = names_[f];
  return true;
}

bool MemoryFileSystem::copy(std::string_view from, std::string_view to) {
  const std::string f = normal(from), t = normal(to);
  const bool allowed = allow(Op::Copy, f);
  const auto source = find(f);
  if (!source || !hasFolder(t)) return fail(2, "No such file or directory");
  if (isFolder(t)) return fail(21, "Is a directory");
  // A copy that breaks off has emptied the target and written part of it, as a real one has.
  std::shared_ptr<Node>& target = names_[t];
  if (!target) target = std::make_shared<Node>();
  target->bytes = allowed ? source->bytes : source->bytes.substr(0, source->bytes.size() / 2);
  return allowed;
}

bool MemoryFileSystem::remove(std::string_view path) {
  const std::string p = normal(path);
  if (!allow(Op::Remove, p)) return false;
  if (names_.erase(p) == 0) return fail(2, "No such file or directory");
  return true;
}

bool MemoryFileSystem::copyPermissions(std::string_view from, std::string_view to) {
  const std::string f = normal(from), t = normal(to);
  if (!allow(Op::Mode, t)) return false;
  const auto source = find(f), target = find(t);
  if (!source || !target) return fail(2, "No such file or directory");
  target->mode = source->mode;
  return true;
}

bool MemoryFileSystem::syncFile(std::string_view path) {
  const std::string p = normal(path);
  if (!allow(Op::Sync, p)) return false;
  const auto node = find(p);
  if (!node) return fail(2, "No such file or directory");
  node->synced = node->bytes;
  return true;
}

bool MemoryFileSystem::syncFolderOf(std::string_view path) {
  const std::string folder = folderOf(normal(path));
  if (!allow(Op::SyncFolder, folder.empty() ? "." : folder)) return false;
  const auto inFolder = [&folder](const std::string& name) { return folderOf(name) == folder; };
  std::erase_if(durableNames_, [&](const auto& entry) { return inFolder(entry.first); });
  for (const auto& [name, node] : names_) {
    if (inFolder(name)) durableNames_[name] = node;
  }
  return true;
}

}  // namespace testsupport
