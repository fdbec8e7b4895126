#include "platform/file_table.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace platform {

void FileTable::notOpen() { throw std::logic_error("file number not open"); }

FileTable::FileTable(FileSystem& fs, std::size_t blockSize)
    : fs_(fs), blockSize_(blockSize == 0 ? 1 : blockSize) {}

FileTable::~FileTable() { closeAll(); }

FileNo FileTable::freeFile() const {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (!files_[i]) return base::checkedNarrow<FileNo>(static_cast<std::int64_t>(i) + 1);
  }
  return base::checkedNarrow<FileNo>(static_cast<std::int64_t>(files_.size()) + 1);
}

bool FileTable::isOpen(FileNo no) const {
  return no >= 1 && static_cast<std::size_t>(no) <= files_.size() && files_[no - 1] != nullptr;
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
  f->block = std::make_unique_for_overwrite<char[]>(blockSize_ + kReadSlack);
  std::fill_n(f->block.get() + blockSize_, kReadSlack, '\0');
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
  if (!f.file->readAt(offset, f.block.get(), blockSize_, got)) return ReadStatus::Failed;
  f.end = got;
  f.shortRead = got < blockSize_;
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

ReadStatus FileTable::readLineSpilling(OpenFile& f, std::string_view& line, std::string& spill) {
  const ReadStatus s = readLineFrom(f, spill);
  line = spill;
  return s;
}

ReadStatus FileTable::readLine(FileNo no, std::string& line) {
  return readLineFrom(entry(no), line);
}

ReadStatus FileTable::readLineFrom(OpenFile& f, std::string& line) {
  std::string_view buffered;
  if (takeBufferedLine(f, buffered)) {
    line.assign(buffered);
    return ReadStatus::Ok;
  }
  line.clear();
  bool any = false;
  for (;;) {
    if (f.begin == f.end) {
      const ReadStatus s = next(f);
      if (s == ReadStatus::Failed) return s;
      if (s == ReadStatus::End) return any ? ReadStatus::Ok : ReadStatus::End;
    }
    const char* start = f.block.get() + f.begin;
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
    if (f.begin < f.end && f.block[f.begin] == '\n') ++f.begin;
    return ReadStatus::Ok;
  }
}

CopyStatus FileTable::copyLines(FileNo in, FileNo out, std::string_view last, std::int64_t& bytes,
                                std::int64_t limit, LineWatcher* watcher) {
  OpenFile& f = entry(in);
  OpenFile& o = entry(out);
  // Lines that lie in the buffer with their CR LF, one after another, go out together as they lie.
  const char* run = nullptr;
  std::size_t runSize = 0;
  const auto flushRun = [&] {
    const bool ok = runSize == 0 || append(o, run, runSize);
    runSize = 0;
    return ok;
  };
  for (;;) {
    std::string_view line;
    const bool buffered = takeBufferedLine(f, line);
    if (!buffered) {
      // The line spans two blocks, or the input ends: the run goes before the block changes.
      if (!flushRun()) return CopyStatus::WriteFailed;
      const ReadStatus s = readLineFrom(f, spill_);
      if (s != ReadStatus::Ok)
        return s == ReadStatus::End ? CopyStatus::End : CopyStatus::ReadFailed;
      const std::size_t size = spill_.size();
      spill_.append(kReadSlack, '\0');  // for the watcher's scans
      line = std::string_view(spill_).substr(0, size);
    }
    const auto size = static_cast<std::int64_t>(line.size()) + 2;
    if (bytes + size > limit) {
      // As a checked count stops at the line that overflows it, before that line is written.
      if (!flushRun()) return CopyStatus::WriteFailed;
      throw base::ArithmeticOverflow{};
    }
    bytes += size;
    if (watcher != nullptr && watcher->wants(line)) watcher->see(line);
    if (buffered && line.data()[line.size() + 1] == '\n' &&
        (runSize == 0 || run + runSize == line.data())) {
      if (runSize == 0) run = line.data();
      runSize += line.size() + 2;
    } else if (!flushRun() || !append(o, line.data(), line.size()) || !append(o, "\r\n", 2)) {
      return CopyStatus::WriteFailed;
    }
    if (line == last) return flushRun() ? CopyStatus::Ok : CopyStatus::WriteFailed;
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
  byte = static_cast<unsigned char>(f.block[at]);
  f.begin = at + 1;
  return ReadStatus::Ok;
}

void FileTable::skip(OpenFile& f, std::size_t count) {
  // Past the buffered bytes, as after a block that could not be read: the next read starts there.
  f.inOffset += f.begin + count;
  f.begin = f.end = 0;
  f.shortRead = false;
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
  if (f.used == 0) return true;
  const bool ok = f.file->write(f.block.get(), f.used);
  f.used = 0;
  return ok;
}

bool FileTable::appendOverflowing(OpenFile& f, const char* bytes, std::size_t size) {
  // Every write is a whole block at a multiple of the block size: the system then keeps the file
  // in large pages, and writing it, and later copying it, costs far less than with ragged writes.
  const std::size_t head = blockSize_ - f.used;
  copyBytes(f.block.get() + f.used, bytes, head);
  f.used = blockSize_;
  if (!flush(f)) return false;
  bytes += head;
  size -= head;
  const std::size_t whole = size - size % blockSize_;
  if (whole != 0 && !f.file->write(bytes, whole)) return false;
  copyBytes(f.block.get(), bytes + whole, size - whole);
  f.used = size - whole;
  return true;
}

bool FileTable::appendLineOverflowing(OpenFile& f, std::string_view line) {
  return append(f, line.data(), line.size()) && append(f, "\r\n", 2);
}

}  // namespace platform
