// Writes a large score in the converter's one-element-per-line layout and prints the calling
// sequence that merges its groups (a summary goes to standard error). The bytes depend only on
// the options, never on the platform.
//
//   gen_score --out FILE --mb N --encoding utf8|utf8bom|utf16le|utf16be --groups none|2|3 [--seed
//   S]

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/utf16.h"

namespace {

constexpr int kDivisions = 480, kMeasure = 4 * kDivisions;

// splitmix64: the same seed gives the same score with any standard library.
struct Random {
  std::uint64_t state;
  int below(int n) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<int>((((z ^ (z >> 31)) >> 32) * static_cast<std::uint64_t>(n)) >> 32);
  }
  bool percent(int p) { return below(100) < p; }
  template <std::size_t N>
  std::string_view pick(const std::array<std::string_view, N>& items) {
    return items[static_cast<std::size_t>(below(static_cast<int>(N)))];
  }
};

constexpr std::array<std::string_view, 12> kWords = {"Grüße", "ñandú", "Ωμέγα", "音楽",
                                                     "Łódź",  "Добро", "cœur",  "𝄞",
                                                     "naïve", "amor",  "夢",    "résumé"};
constexpr std::array<std::string_view, 6> kDynamics = {"pp", "p", "mf", "f", "ff", "sfz"};
constexpr std::array<std::string_view, 4> kWordings = {"dolce", "très doux", "rit.", "a tempo"};
constexpr std::array<std::string_view, 4> kInstruments = {"Piano", "Orgel", "Harpe", "Flûte"};
constexpr char kSteps[] = "CDEFGAB";

// UTF-8 text in the score's encoding, through one large buffer.
class Writer {
 public:
  Writer(std::FILE* file, std::string_view encoding) : file_(file) {
    utf16_ = encoding.starts_with("utf16");
    bigEndian_ = encoding == "utf16be";
    if (encoding == "utf8bom") put("\xEF\xBB\xBF");
    if (utf16_) unit(0xFEFF);
  }
  ~Writer() { flush(); }
  void put(std::string_view utf8) {
    if (buffer_.size() > (8u << 20)) flush();
    if (!utf16_) return static_cast<void>(buffer_.append(utf8));
    for (std::size_t at = 0, length = 0; at < utf8.size(); at += length) {
      const std::uint32_t c = base::utf16::codePointAt(utf8, at, length);
      char units[4];
      const char* end = base::utf16::putUTF16LE(units, c);
      for (const char* u = units; u < end; u += 2) unit(base::utf16::unitAt(u, false));
    }
  }
  void put(int value) { put(std::string_view(std::to_string(value))); }
  std::uint64_t bytes() const { return written_ + buffer_.size(); }
  bool flush() {
    ok_ = ok_ && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size();
    written_ += buffer_.size();
    buffer_.clear();
    return ok_;
  }

 private:
  void unit(std::uint32_t u) {
    const char low = static_cast<char>(u & 0xFF), high = static_cast<char>(u >> 8);
    buffer_ += bigEndian_ ? high : low;
    buffer_ += bigEndian_ ? low : high;
  }
  std::FILE* file_;
  std::string buffer_;
  bool utf16_, bigEndian_, ok_ = true;
  std::uint64_t written_ = 0;
};

class Generator {
 public:
  Generator(Writer& out, int groupSize, std::uint64_t seed) : out_(out), size_(groupSize) {
    random_.state = seed;
  }

  template <class... Pieces>
  void line(int depth, const Pieces&... pieces) {
    out_.put(std::string_view("\t\t\t\t\t\t\t", static_cast<std::size_t>(depth)));
    (out_.put(pieces), ...);
    out_.put("\r\n");
  }

  // The header, the part list and every part, `megabytes` in all; returns the part count.
  int score(bool utf16, double megabytes, int seed) {
    const int parts = size_ == 1 ? 8 + random_.below(5) : size_ * (4 + random_.below(2));
    line(0, "<?xml version=\"1.0\" encoding=\"", utf16 ? "UTF-16" : "UTF-8", "\"?>");
    line(0, "<score-partwise version=\"4.0\">");
    line(1, "<work>");
    line(2, "<work-title>Étude Nr. ", seed, "</work-title>");
    line(1, "</work>");
    line(1, "<part-list>");
    for (int p = 1; p <= parts; ++p) {
      if (size_ > 1 && p % size_ == 1) line(2, "<part-group type=\"start\" number=\"1\"/>");
      line(2, "<score-part id=\"P", p, "\">");
      line(3, "<part-name>", kInstruments[static_cast<std::size_t>((p - 1) / size_ % 4)],
           "</part-name>");
      line(2, "</score-part>");
      if (size_ > 1 && p % size_ == 0) line(2, "<part-group type=\"stop\" number=\"1\"/>");
    }
    line(1, "</part-list>");
    // Each group gets an even share of what is left; its other members take its measure count.
    const auto target = static_cast<std::uint64_t>(megabytes * 1e6);
    for (int p = 1; p <= parts; p += size_) {
      const std::uint64_t left = target > out_.bytes() ? target - out_.bytes() : 0;
      const int count = part(p, 0, left / static_cast<std::uint64_t>((parts - p + size_) / size_));
      for (int m = 1; m < size_; ++m) part(p + m, count, 0);
      measures_ += count * size_;
    }
    line(0, "</score-partwise>");
    return parts;
  }
  int measures() const { return measures_; }

 private:
  // Exactly `count` measures, or with count 0 as many as reach `budget` bytes.
  int part(int number, int count, std::uint64_t budget) {
    const std::uint64_t start = out_.bytes();
    const bool bass = size_ > 1 && number % size_ == 0;
    low_ = bass ? 10 : 24;
    pitch_ = low_ + 7;
    line(1, "<part id=\"P", number, "\">");
    int m = 0;
    for (bool last = false; !last;) {
      line(2, "<measure number=\"", ++m, "\">");
      if (m == 1) attributes(bass);
      if (random_.percent(12)) direction("<dynamics><", random_.pick(kDynamics), "/></dynamics>");
      voice(1);
      if (random_.percent(20)) {
        line(3, "<backup>");
        line(4, "<duration>", kMeasure, "</duration>");
        line(3, "</backup>");
        voice(2);
      }
      last = count > 0 ? m == count : out_.bytes() - start >= budget;
      if (last) line(3, "<barline location=\"right\"><bar-style>light-heavy</bar-style></barline>");
      line(2, "</measure>");
    }
    line(1, "</part>");
    return m;
  }

  void attributes(bool bass) {
    line(3, "<attributes>");
    line(4, "<divisions>", kDivisions, "</divisions>");
    line(4, "<key>");
    line(5, "<fifths>", random_.below(9) - 4, "</fifths>");
    line(4, "</key>");
    line(4, "<time>");
    line(5, "<beats>4</beats>");
    line(5, "<beat-type>4</beat-type>");
    line(4, "</time>");
    clef(bass);
    line(3, "</attributes>");
  }

  void clef(bool bass) {
    line(4, "<clef>");
    line(5, "<sign>", bass ? "F" : "G", "</sign>");
    line(5, "<line>", bass ? 4 : 2, "</line>");
    line(4, "</clef>");
  }

  template <class... Pieces>
  void direction(const Pieces&... type) {
    line(3, "<direction placement=\"above\">");
    line(4, "<direction-type>");
    line(5, type...);
    line(4, "</direction-type>");
    line(3, "</direction>");
  }

  // One voice filling the measure: whole, half, dotted quarter and eighth, quarters, beamed
  // eighths and sixteenths; at a half measure now and then a clef change or words.
  void voice(int number) {
    for (int left = kMeasure; left > 0;) {
      if (number == 1 && left == kMeasure / 2 && random_.percent(6)) {
        line(3, "<attributes>");
        clef(random_.percent(50));
        line(3, "</attributes>");
        direction("<words>", random_.pick(kWordings), "</words>");
      }
      const int r = random_.below(100);
      int length = kDivisions;
      if (left == kMeasure && r < 4) {
        note(number, length = kMeasure, "whole", "");
      } else if (r < 25 && left >= 2 * kDivisions) {
        note(number, length = 2 * kDivisions, "half", "");
      } else if (r < 60) {
        note(number, kDivisions, "quarter", "");
      } else if (r < 88) {
        note(number, kDivisions / 2, "eighth", "begin");
        note(number, kDivisions / 2, "eighth", "end");
      } else {
        for (std::string_view beam : {"begin", "continue", "continue", "end"}) {
          note(number, kDivisions / 4, "16th", beam);
        }
      }
      left -= length;
    }
  }

  // A rest, or a note with perhaps a chord note, an accidental, a beam and a lyric.
  void note(int voice, int duration, std::string_view type, std::string_view beam) {
    const bool rest = beam.empty() && random_.percent(8);
    pitch_ = std::clamp(pitch_ + random_.below(5) - 2, low_, low_ + 14);  // two octaves
    const int chord = !rest && voice == 1 && random_.percent(12) ? 1 : 0;
    for (int k = 0; k <= chord; ++k) {
      const int p = pitch_ + 2 * k, alter = random_.percent(8) ? (random_.percent(50) ? -1 : 1) : 0;
      line(3, "<note>");
      if (k > 0) line(4, "<chord/>");
      if (rest) line(4, "<rest/>");
      if (!rest) {
        line(4, "<pitch>");
        line(5, "<step>", std::string_view(&kSteps[p % 7], 1), "</step>");
        if (alter != 0) line(5, "<alter>", alter, "</alter>");
        line(5, "<octave>", p / 7, "</octave>");
        line(4, "</pitch>");
      }
      line(4, "<duration>", duration, "</duration>");
      line(4, "<voice>", voice, "</voice>");
      line(4, "<type>", type, "</type>");
      if (alter != 0) line(4, "<accidental>", alter < 0 ? "flat" : "sharp", "</accidental>");
      if (!beam.empty()) line(4, "<beam number=\"1\">", beam, "</beam>");
      if (k == 0 && !rest && random_.percent(20)) {
        line(4, "<lyric number=\"1\">");
        line(5, "<text>", random_.pick(kWords), "</text>");
        line(4, "</lyric>");
      }
      line(3, "</note>");
    }
  }

  Writer& out_;
  int size_;
  Random random_{};
  int low_ = 0, pitch_ = 0, measures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::string out, encoding = "utf8", groups = "none";
  double megabytes = 0;
  std::uint64_t seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view option = argv[i];
    if (option == "--out")
      out = argv[i + 1];
    else if (option == "--mb")
      megabytes = std::stod(argv[i + 1]);
    else if (option == "--encoding")
      encoding = argv[i + 1];
    else if (option == "--groups")
      groups = argv[i + 1];
    else if (option == "--seed")
      seed = std::stoull(argv[i + 1]);
    else
      return std::fprintf(stderr, "gen_score: unknown option %s\n", argv[i]), 2;
  }
  const int size = groups == "none" ? 1 : groups == "2" ? 2 : groups == "3" ? 3 : 0;
  const bool known = encoding == "utf8" || encoding == "utf8bom" || encoding.starts_with("utf16");
  if (out.empty() || megabytes <= 0 || size == 0 || !known) {
    return std::fprintf(stderr,
                        "usage: gen_score --out FILE --mb N --encoding "
                        "utf8|utf8bom|utf16le|utf16be --groups none|2|3 [--seed S]\n"),
           2;
  }
  std::FILE* file = std::fopen(out.c_str(), "wb");
  if (file == nullptr) return std::perror(out.c_str()), 1;
  Writer writer(file, encoding);
  Generator generator(writer, size, seed);
  const int parts =
      generator.score(encoding.starts_with("utf16"), megabytes, static_cast<int>(seed % 1000));
  const bool written = writer.flush();
  if (std::fclose(file) != 0 || !written) return std::perror(out.c_str()), 1;
  std::string calling = "CALLEDBY=ORVANTIDE,FILE=" + out + "/";
  for (int p = 1; size > 1 && p <= parts; p += size) {
    calling += "STAVESUP=" + std::to_string(size - 1) + ",PART=" + std::to_string(p + size - 1) +
               ",INSTR=,";
    for (int m = p; m < p + size; ++m) calling += std::to_string(m) + ",";
    calling += "/";
  }
  std::printf("%s\n", calling.c_str());
  std::fprintf(stderr, "gen_score: %s: %llu bytes, %d parts, %d measures\n", out.c_str(),
               static_cast<unsigned long long>(writer.bytes()), parts, generator.measures());
  return 0;
}
