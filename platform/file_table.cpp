#include "platform/file_table.h"

#include <cstring>
#include <stdexcept>

namespace platform {

struct FileTable::OpenFile {
  std::unique_ptr<File> file;
  std::string name;
  Mode mode = Mode::TextIn;
  std::vector<char> in;        // input block
  std::uint64_t inOffset = 0;  // file offset of in[0]
  std::size_t begin = 0;       // current position within the block
  std::size_t end = 0;         // valid bytes in the block
  bool shortRead = false;      // the last fill reached the end of the file
  std::string out;             // pending output
};

FileTable::FileTable(FileSystem& fs, std::size_t blockSize)
    : fs_(fs), blockSize_(blockSize == 0 ? 1 : blockSize) {}

FileTable::~FileTable() { closeAll(); }

FileNo FileTable::freeFile() const {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (!files_[i]) return checkedNarrow<FileNo>(static_cast<std::int64_t>(i) + 1);
  }
  return checkedNarrow<FileNo>(static_cast<std::int64_t>(files_.size()) + 1);
}

bool FileTable::isOpen(FileNo no) const {
  return no >= 1 && static_cast<std::size_t>(no) <= files_.size() && files_[no - 1] != nullptr;
}

FileTable::OpenFile& FileTable::entry(FileNo no) {
  if (!isOpen(no)) throw std::logic_error("file number not open");
  return *files_[no - 1];
}

const FileTable::OpenFile& FileTable::entry(FileNo no) const {
  if (!isOpen(no)) throw std::logic_error("file number not open");
  return *files_[no - 1];
}

const std::string& FileTable::name(FileNo no) const { return entry(no).name; }

bool FileTable::open(FileNo no, std::string_view path, Mode mode) {
  if (no < 1) throw std::logic_error("file numbers count from 1");
  if (isOpen(no)) throw std::logic_error("file number already open");
  auto file = fs_.open(path, mode == Mode::TextOut ? Access::WriteTruncate : Access::Read);
  if (!file) return false;
  auto f = std::make_unique<OpenFile>();
  f->file = std::move(file);
  f->name = std::string(path);
  f->mode = mode;
  if (mode == Mode::TextOut) {
    f->out.reserve(blockSize_);
  } else {
    f->in.resize(blockSize_);
  }
  if (static_cast<std::size_t>(no) > files_.size()) files_.resize(static_cast<std::size_t>(no));
  files_[no - 1] = std::move(f);
  return true;
}

bool FileTable::close(FileNo no) {
  OpenFile& f = entry(no);
  bool ok = flush(f);
  // Keep the first failure's error: it is the one the user needs to see.
  if (ok) {
    ok = f.file->close();
  } else {
    SystemError first = fs_.lastError();
    static_cast<void>(f.file->close());
    fs_.setError(first.code, first.text);
  }
  files_[no - 1].reset();
  return ok;
}

void FileTable::closeAll() noexcept {
  for (auto& f : files_) {
    if (!f) continue;
    try {
      static_cast<void>(flush(*f));
      static_cast<void>(f->file->close());
    } catch (...) {
      // A second failure while a run is already ending has nowhere to go.
    }
    f.reset();
  }
}

ReadStatus FileTable::fill(OpenFile& f, std::uint64_t offset) {
  std::size_t got = 0;
  f.inOffset = offset;
  f.begin = 0;
  f.end = 0;
  if (!f.file->readAt(offset, f.in.data(), f.in.size(), got)) return ReadStatus::Failed;
  f.end = got;
  f.shortRead = got < f.in.size();
  return got == 0 ? ReadStatus::End : ReadStatus::Ok;
}

ReadStatus FileTable::next(OpenFile& f) {
  // A short read already met the end of the file; asking again would only cost a system call.
  if (f.shortRead) {
    f.begin = f.end;
    return ReadStatus::End;
  }
  return fill(f, f.inOffset + f.end);
}

ReadStatus FileTable::readLine(FileNo no, std::string& line) {
  OpenFile& f = entry(no);
  line.clear();
  bool any = false;
  for (;;) {
    if (f.begin == f.end) {
      const ReadStatus s = next(f);
      if (s == ReadStatus::Failed) return s;
      if (s == ReadStatus::End) return any ? ReadStatus::Ok : ReadStatus::End;
    }
    const char* start = f.in.data() + f.begin;
    const std::size_t avail = f.end - f.begin;
    const void* cr = std::memchr(start, '\r', avail);
    if (cr == nullptr) {
      line.append(start, avail);
      f.begin = f.end;
      any = true;
      continue;
    }
    const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(cr) - start);
    line.append(start, len);
    f.begin += len + 1;
    // A CR at the end of the block cannot tell yet whether an LF follows: look at the next block.
    if (f.begin == f.end && next(f) == ReadStatus::Failed) return ReadStatus::Failed;
    if (f.begin < f.end && f.in[f.begin] == '\n') ++f.begin;
    return ReadStatus::Ok;
  }
}

ReadStatus FileTable::readByteAt(FileNo no, std::int64_t position, unsigned char& byte) {
  OpenFile& f = entry(no);
  if (position < 1) return ReadStatus::End;
  const auto offset = static_cast<std::uint64_t>(position - 1);
  // Past a short read's end there is nothing to ask the system for.
  if (f.shortRead && offset >= f.inOffset + f.end) return ReadStatus::End;
  if (offset < f.inOffset || offset >= f.inOffset + f.end) {
    const ReadStatus s = fill(f, offset);
    if (s != ReadStatus::Ok) return s;
  }
  const auto at = static_cast<std::size_t>(offset - f.inOffset);
  byte = static_cast<unsigned char>(f.in[at]);
  f.begin = at + 1;
  return ReadStatus::Ok;
}

ReadStatus FileTable::peek(FileNo no, std::string_view& bytes) {
  OpenFile& f = entry(no);
  if (f.begin == f.end && next(f) == ReadStatus::Failed) return ReadStatus::Failed;
  bytes = std::string_view(f.in.data() + f.begin, f.end - f.begin);
  return ReadStatus::Ok;
}

void FileTable::advance(FileNo no, std::size_t count) {
  OpenFile& f = entry(no);
  if (count > f.end - f.begin) throw std::logic_error("advance past the buffered bytes");
  f.begin += count;
}

ReadStatus FileTable::readByte(FileNo no, unsigned char& byte) {
  std::string_view bytes;
  const ReadStatus s = peek(no, bytes);
  if (s != ReadStatus::Ok) return s;
  if (bytes.empty()) return ReadStatus::End;
  byte = static_cast<unsigned char>(bytes.front());
  advance(no, 1);
  return ReadStatus::Ok;
}

bool FileTable::flush(OpenFile& f) {
  if (f.out.empty()) return true;
  const bool ok = f.file->write(f.out.data(), f.out.size());
  f.out.clear();
  return ok;
}

bool FileTable::write(FileNo no, std::string_view bytes) {
  OpenFile& f = entry(no);
  if (f.out.size() + bytes.size() <= blockSize_) {
    f.out.append(bytes);
    return true;
  }
  if (!flush(f)) return false;
  // Large writes go straight through; small ones wait in the buffer.
  if (bytes.size() >= blockSize_) return f.file->write(bytes.data(), bytes.size());
  f.out.append(bytes);
  return true;
}

bool FileTable::writeLine(FileNo no, std::string_view line) {
  return write(no, line) && write(no, "\r\n");
}

}  // namespace platform
