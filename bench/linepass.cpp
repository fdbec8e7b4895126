// The floor for the post-processor's timing: reads a score, splits it into lines the way the
// product's line reader does, and writes every line back followed by CR LF. For CR LF input the
// output equals the input byte for byte. No program that reads the score line by line and writes
// a result can do less work: it finds every line end and writes every byte once.
//
// A file that starts with a UTF-16 byte-order mark is split at the 16-bit CR unit and gets CR LF
// units, so UTF-16 scores also come back unchanged; anything else is split at the CR byte.
//
// Usage: linepass IN OUT

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;  // even: a UTF-16 unit never straddles
constexpr std::size_t kOutputSize = std::size_t{1} << 20;

// Output through one buffer; a run of at least a buffer's size goes out directly. Keeps the errno
// of the first failed write.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd), buffer_(kOutputSize) {}

  void append(const char* data, std::size_t size) {
    if (size > buffer_.size() - used_) {
      flush();
      if (size >= buffer_.size()) return put(data, size);
    }
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
  }
  void flush() {
    put(buffer_.data(), used_);
    used_ = 0;
  }
  int error() const { return error_; }

 private:
  void put(const char* data, std::size_t size) {
    while (size > 0 && error_ == 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = n < 0 ? errno : EIO;
        return;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }
  int fd_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  int error_ = 0;
};

// The line-end units of one encoding: a CR, an LF, both together as written after every line,
// and where the CR's 0x0D byte sits in its unit.
struct LineEnds {
  std::string_view cr;
  std::string_view lf;
  std::string_view crlf;
  std::size_t crByte;
};

constexpr LineEnds kBytes{"\r", "\n", "\r\n", 0};
constexpr LineEnds kUTF16LE{std::string_view("\r\0", 2), std::string_view("\n\0", 2),
                            std::string_view("\r\0\n\0", 4), 0};
constexpr LineEnds kUTF16BE{std::string_view("\0\r", 2), std::string_view("\0\n", 2),
                            std::string_view("\0\r\0\n", 4), 1};

const LineEnds& lineEndsFor(const char* data, std::size_t size) {
  if (size >= 2 && data[0] == '\xFF' && data[1] == '\xFE') return kUTF16LE;
  if (size >= 2 && data[0] == '\xFE' && data[1] == '\xFF') return kUTF16BE;
  return kBytes;
}

// `unit` is one or two bytes: compared here, since a call to memcmp costs more than the compare.
bool startsWith(const char* pos, const char* end, std::string_view unit) {
  return static_cast<std::size_t>(end - pos) >= unit.size() && pos[0] == unit[0] &&
         (unit.size() == 1 || pos[1] == unit[1]);
}

// Reads until `size` bytes or the end of the file; false on a read error.
bool readFull(int fd, char* data, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Copies in to out line by line; returns 0 or the errno of the first failed read. Lines that end
// in CR LF are their own output, so a run of them is written as it lies.
int passLines(int in, Writer& out) {
  std::vector<char> block(kBlockSize);
  const LineEnds* ends = nullptr;
  // A CR in a block's last unit has already ended its line; whether an LF belongs to it is only
  // known once the next block is read.
  bool crPending = false;
  bool lineOpen = false;  // bytes of an unterminated line have been written
  for (;;) {
    std::size_t got = 0;
    if (!readFull(in, block.data(), block.size(), got)) return errno;
    if (got == 0) break;
    const char* const begin = block.data();
    const char* const end = begin + got;
    if (ends == nullptr) ends = &lineEndsFor(begin, got);
    const std::size_t width = ends->cr.size();
    const char* run = begin;  // start of the bytes not yet written
    if (crPending && startsWith(run, end, ends->lf)) run += width;
    crPending = false;
    const char* line = run;  // start of the current line
    const char* search = run + ends->crByte;
    for (;;) {
      const auto* hit = search < end ? static_cast<const char*>(std::memchr(
                                           search, '\r', static_cast<std::size_t>(end - search)))
                                     : nullptr;
      if (hit == nullptr) {
        out.append(run, static_cast<std::size_t>(end - run));
        if (line != end) lineOpen = true;
        break;
      }
      const char* const unit = hit - ends->crByte;
      // In UTF-16 a 0x0D byte is a CR only as its half of an aligned 000D unit (width 1 or 2).
      if ((static_cast<std::size_t>(unit - begin) & (width - 1)) != 0 ||
          !startsWith(unit, end, ends->cr)) {
        search = hit + 1;
        continue;
      }
      lineOpen = false;
      const char* const next = unit + width;
      if (startsWith(next, end, ends->lf)) {  // CR LF: the line goes out as it lies
        line = next + width;
        search = line + ends->crByte;
        continue;
      }
      out.append(run, static_cast<std::size_t>(unit - run));
      out.append(ends->crlf.data(), ends->crlf.size());
      run = line = next;
      crPending = next == end;
      search = next + ends->crByte;
    }
  }
  // The last line may have no terminator; it still gets one, as every line written does.
  if (lineOpen) out.append(ends->crlf.data(), ends->crlf.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: linepass IN OUT\n");
    return 2;
  }
  const int in = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    std::fprintf(stderr, "linepass: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  // Read once from start to end: the system may read ahead further.
  static_cast<void>(::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL));
  const int outFile = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (outFile < 0) {
    std::fprintf(stderr, "linepass: cannot create %s: %s\n", argv[2], std::strerror(errno));
    ::close(in);
    return 1;
  }
  Writer out(outFile);
  const int readError = passLines(in, out);
  ::close(in);
  out.flush();
  const int writeError = out.error() != 0 ? out.error() : ::close(outFile) != 0 ? errno : 0;
  if (readError != 0) {
    std::fprintf(stderr, "linepass: reading %s failed: %s\n", argv[1], std::strerror(readError));
    return 1;
  }
  if (writeError != 0) {
    std::fprintf(stderr, "linepass: writing %s failed: %s\n", argv[2], std::strerror(writeError));
    return 1;
  }
  return 0;
}
