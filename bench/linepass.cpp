// The floor for the post-processor's timing: reads a score, splits it into lines the way the
// product's line reader does, and writes every line back followed by CR LF. For CR LF input the
// output equals the input byte for byte. No program that reads the score line by line and writes
// a result can do less work.
//
// A file that starts with a UTF-16 byte-order mark is split at the 16-bit CR unit and gets CR LF
// units, so UTF-16 scores also come back unchanged; anything else is split at the CR byte.
//
// Usage: linepass IN OUT

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::size_t kOutputSize = std::size_t{4} << 20;

// Output through one large buffer; keeps the errno of the first failed write.
class BlockWriter {
 public:
  explicit BlockWriter(std::FILE* file) : file_(file), buffer_(kOutputSize) {}

  void append(const char* data, std::size_t size) {
    if (size <= buffer_.size() - used_) {
      std::memcpy(buffer_.data() + used_, data, size);
      used_ += size;
      return;
    }
    while (size > 0) {
      if (used_ == buffer_.size()) static_cast<void>(flush());
      const std::size_t n = size < buffer_.size() - used_ ? size : buffer_.size() - used_;
      std::memcpy(buffer_.data() + used_, data, n);
      used_ += n;
      data += n;
      size -= n;
    }
  }

  [[nodiscard]] bool flush() {
    if (used_ > 0 && error_ == 0 && std::fwrite(buffer_.data(), 1, used_, file_) != used_) {
      error_ = errno != 0 ? errno : EIO;
    }
    used_ = 0;
    return error_ == 0;
  }

  int error() const { return error_; }

 private:
  std::FILE* file_;
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

bool startsWith(const char* pos, const char* end, std::string_view unit) {
  return static_cast<std::size_t>(end - pos) >= unit.size() &&
         std::memcmp(pos, unit.data(), unit.size()) == 0;
}

// Copies in to out line by line; returns 0 or the errno of the first failed read.
int passLines(std::FILE* in, BlockWriter& out) {
  std::vector<char> block(kBlockSize);
  const LineEnds* ends = nullptr;
  // A CR in a block's last unit has already ended its line; whether an LF belongs to it is only
  // known once the next block is read.
  bool crPending = false;
  bool lineOpen = false;  // bytes of an unterminated line have been written
  for (;;) {
    // fread fills whole blocks until the end of the file, and the block size is even, so a
    // UTF-16 unit never straddles two blocks and units start at even offsets in every block.
    const std::size_t got = std::fread(block.data(), 1, block.size(), in);
    if (got == 0) break;
    const char* const begin = block.data();
    const char* const end = begin + got;
    if (ends == nullptr) ends = &lineEndsFor(begin, got);
    const std::size_t width = ends->cr.size();
    const char* pos = begin;
    if (crPending && startsWith(pos, end, ends->lf)) pos += width;
    crPending = false;
    const char* search = pos + ends->crByte;
    while (pos < end) {
      const auto* hit = search < end ? static_cast<const char*>(std::memchr(
                                           search, '\r', static_cast<std::size_t>(end - search)))
                                     : nullptr;
      if (hit == nullptr) {
        out.append(pos, static_cast<std::size_t>(end - pos));
        lineOpen = true;
        break;
      }
      const char* const unit = hit - ends->crByte;
      // In UTF-16 a 0x0D byte is a CR only as the right half of an aligned 000D unit.
      if (static_cast<std::size_t>(unit - begin) % width != 0 || !startsWith(unit, end, ends->cr)) {
        search = hit + 1;
        continue;
      }
      out.append(pos, static_cast<std::size_t>(unit - pos));
      out.append(ends->crlf.data(), ends->crlf.size());
      lineOpen = false;
      pos = unit + width;
      if (pos == end) {
        crPending = true;
      } else if (startsWith(pos, end, ends->lf)) {
        pos += width;
      }
      search = pos + ends->crByte;
    }
  }
  if (std::ferror(in) != 0) return errno != 0 ? errno : EIO;
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
  // Binary mode on both sides: line ends are handled here, never by the C library.
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "linepass: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  std::FILE* outFile = std::fopen(argv[2], "wb");
  if (outFile == nullptr) {
    std::fprintf(stderr, "linepass: cannot create %s: %s\n", argv[2], std::strerror(errno));
    static_cast<void>(std::fclose(in));
    return 1;
  }
  BlockWriter out(outFile);
  const int readError = passLines(in, out);
  static_cast<void>(std::fclose(in));
  const bool flushed = out.flush();
  const int writeError = out.error();
  const bool closed = std::fclose(outFile) == 0;
  if (readError != 0) {
    std::fprintf(stderr, "linepass: reading %s failed: %s\n", argv[1], std::strerror(readError));
    return 1;
  }
  if (!flushed || !closed) {
    std::fprintf(stderr, "linepass: writing %s failed: %s\n", argv[2],
                 std::strerror(flushed ? errno : writeError));
    return 1;
  }
  return 0;
}
