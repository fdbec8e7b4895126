// Writes a large score in the converter's one-element-per-line layout and prints the calling
// sequence that merges its groups. The bytes depend only on the options, never on the platform.
//
// Usage: gen_score --out FILE --mb N --encoding utf8|utf8bom|utf16le|utf16be
//                  --groups none|2|3 [--seed S]

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t kBufferSize = std::size_t{8} << 20;
constexpr int kDivisions = 480;
constexpr int kMeasureLength = 4 * kDivisions;

enum class Encoding { UTF8, UTF8BOM, UTF16LE, UTF16BE };

// splitmix64. The standard distributions may differ between library versions; this sequence does
// not, so a seed names the same score everywhere.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // A value in [0, n); n is small, so the bias of the multiply-shift is negligible.
  int below(int n) {
    return static_cast<int>(((next() >> 32) * static_cast<std::uint64_t>(n)) >> 32);
  }

  bool percent(int p) { return below(100) < p; }

  template <class T, std::size_t N>
  const T& pick(const std::array<T, N>& items) {
    return items[static_cast<std::size_t>(below(static_cast<int>(N)))];
  }

 private:
  std::uint64_t state_;
};

// Encodes UTF-8 fragments into the target encoding and writes them through one large buffer.
// Every fragment holds whole characters, so no sequence is ever split between two calls.
class ScoreWriter {
 public:
  ScoreWriter(std::FILE* file, Encoding encoding)
      : file_(file), encoding_(encoding), buffer_(kBufferSize) {}

  void byteOrderMark() {
    switch (encoding_) {
      case Encoding::UTF8:
        break;
      case Encoding::UTF8BOM:
        text("\xEF\xBB\xBF");
        break;
      case Encoding::UTF16LE:
      case Encoding::UTF16BE:
        room(2);
        unit(0xFEFF);
        break;
    }
  }

  void text(std::string_view utf8) {
    if (encoding_ == Encoding::UTF8 || encoding_ == Encoding::UTF8BOM) {
      room(utf8.size());
      std::memcpy(buffer_.data() + used_, utf8.data(), utf8.size());
      used_ += utf8.size();
      return;
    }
    // One UTF-8 byte never grows to more than two UTF-16 bytes.
    room(2 * utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
      const std::uint32_t b = static_cast<unsigned char>(utf8[i]);
      std::uint32_t cp = 0;
      std::size_t len = 1;
      if (b < 0x80) {
        cp = b;
      } else if (b < 0xE0) {
        cp = b & 0x1F;
        len = 2;
      } else if (b < 0xF0) {
        cp = b & 0x0F;
        len = 3;
      } else {
        cp = b & 0x07;
        len = 4;
      }
      for (std::size_t k = 1; k < len; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
      }
      i += len;
      if (cp >= 0x10000) {
        cp -= 0x10000;
        unit(0xD800 + (cp >> 10));
        unit(0xDC00 + (cp & 0x3FF));
      } else {
        unit(cp);
      }
    }
  }

  void number(int value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    text(std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
  }

  void tabs(int count) {
    static constexpr std::string_view kTabs = "\t\t\t\t\t\t\t\t";
    text(kTabs.substr(0, static_cast<std::size_t>(count)));
  }

  void endLine() { text("\r\n"); }

  // Bytes produced so far, written or still buffered.
  std::uint64_t bytes() const { return written_ + used_; }

  // Writes out the buffer; false once any write has failed, with the errno of the first failure.
  [[nodiscard]] bool flush() {
    if (used_ > 0 && error_ == 0) {
      if (std::fwrite(buffer_.data(), 1, used_, file_) != used_) error_ = errno != 0 ? errno : EIO;
    }
    written_ += used_;
    used_ = 0;
    return error_ == 0;
  }

  int error() const { return error_; }

 private:
  void room(std::size_t n) {
    if (used_ + n > buffer_.size()) static_cast<void>(flush());
  }

  // Each 16-bit unit is laid out byte by byte, so the host's byte order never leaks into the file.
  void unit(std::uint32_t u) {
    const char low = static_cast<char>(u & 0xFF);
    const char high = static_cast<char>((u >> 8) & 0xFF);
    buffer_[used_++] = encoding_ == Encoding::UTF16LE ? low : high;
    buffer_[used_++] = encoding_ == Encoding::UTF16LE ? high : low;
  }

  std::FILE* file_;
  Encoding encoding_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  int error_ = 0;
};

struct Clef {
  std::string_view sign;
  int line;
};

constexpr Clef kTreble{"G", 2};
constexpr Clef kBass{"F", 4};
constexpr Clef kAlto{"C", 3};

// Pitches are diatonic indexes, octave * 7 + step (C = 0), so a melodic step is +-1.
constexpr int pitchIndex(int octave, int step) { return octave * 7 + step; }

struct Instrument {
  std::string_view name;
  Clef clef;
  int low;
  int high;
  int lyricPercent;
};

constexpr std::array kSoloInstruments = {
    Instrument{"Flute", kTreble, pitchIndex(4, 2), pitchIndex(6, 4), 0},
    Instrument{"Oboe", kTreble, pitchIndex(4, 0), pitchIndex(5, 5), 0},
    Instrument{"Clarinet in B♭", kTreble, pitchIndex(3, 2), pitchIndex(5, 6), 0},
    Instrument{"Soprano", kTreble, pitchIndex(4, 0), pitchIndex(5, 6), 90},
    Instrument{"Alto", kTreble, pitchIndex(3, 4), pitchIndex(5, 2), 90},
    Instrument{"Ténor", kTreble, pitchIndex(3, 0), pitchIndex(4, 4), 90},
    Instrument{"Baß", kBass, pitchIndex(2, 4), pitchIndex(4, 0), 90},
    Instrument{"Horn in F", kTreble, pitchIndex(3, 4), pitchIndex(5, 2), 0},
    Instrument{"Violin I", kTreble, pitchIndex(3, 4), pitchIndex(6, 0), 0},
    Instrument{"Violin II", kTreble, pitchIndex(3, 4), pitchIndex(5, 4), 0},
    Instrument{"Viola", kAlto, pitchIndex(3, 0), pitchIndex(5, 0), 0},
    Instrument{"Violoncello", kBass, pitchIndex(2, 0), pitchIndex(4, 4), 0},
};

// A keyboard-like instrument written as one part per staff. Groups of two take the upper and
// the lower staff, groups of three all three.
struct GroupKind {
  std::string_view name;
  std::array<Instrument, 3> staves;
};

constexpr Instrument kUpperStaff{"", kTreble, pitchIndex(4, 0), pitchIndex(6, 0), 25};
constexpr Instrument kMiddleStaff{"", kTreble, pitchIndex(3, 4), pitchIndex(5, 4), 0};
constexpr Instrument kLowerStaff{"", kBass, pitchIndex(2, 0), pitchIndex(4, 0), 0};
constexpr Instrument kPedalStaff{"", kBass, pitchIndex(1, 0), pitchIndex(3, 0), 0};

constexpr std::array kGroupKinds = {
    GroupKind{"Piano", {kUpperStaff, kMiddleStaff, kLowerStaff}},
    GroupKind{"Orgel", {kUpperStaff, kLowerStaff, kPedalStaff}},
    GroupKind{"Harpe", {kUpperStaff, kMiddleStaff, kLowerStaff}},
    GroupKind{"Celesta", {kUpperStaff, kMiddleStaff, kLowerStaff}},
};

constexpr std::array<std::string_view, 24> kWords = {
    "Grüße", "ñandú",  "Ωμέγα", "音楽",   "Liebe",    "cœur", "Ærø",  "Łódź",
    "Добро", "ελπίδα", "歌声",  "Straße", "señor",    "la",   "love", "ah",
    "naïve", "𝄞",      "amor",  "ça",     "Frühling", "夢",   "joy",  "résumé",
};
constexpr std::array<std::string_view, 16> kSyllables = {
    "Grü", "ße",  "ña", "ndú",  "Ω",     "μέ", "γα",  "音",
    "楽",  "Lie", "be", "Sehn", "sucht", "До", "бро", "𝄞",
};
constexpr std::array<std::string_view, 7> kDynamics = {"pp", "p", "mp", "mf", "f", "ff", "sfz"};
constexpr std::array<std::string_view, 8> kWordings = {
    "dolce", "très doux", "più mosso", "rit.", "a tempo", "espress.", "morendo", "leggiero",
};
constexpr std::array<std::string_view, 7> kSteps = {"C", "D", "E", "F", "G", "A", "B"};

struct Options {
  std::string out;
  double megabytes = 0;
  Encoding encoding = Encoding::UTF8;
  int groupSize = 1;  // 1: no groups
  std::uint64_t seed = 1;
};

struct PartPlan {
  int number;
  std::string_view name;
  Instrument staff;
};

// The rhythm of one note: its duration, its type and its place in a beamed group.
struct NoteShape {
  int duration;
  std::string_view type;
  bool dotted;
  std::string_view beam;  // empty, "begin", "continue" or "end"
  int beamLevels;
};

struct PartState {
  explicit PartState(const PartPlan& p) : plan(p), clef(p.staff.clef) {
    const int middle = (p.staff.low + p.staff.high) / 2;
    pitch = {middle, middle - 3};
  }
  const PartPlan& plan;
  Clef clef;
  std::array<int, 2> pitch;
  bool inWord = false;
};

class ScoreGenerator {
 public:
  ScoreGenerator(ScoreWriter& out, const Options& options)
      : out_(out), options_(options), rng_(options.seed) {}

  void run() {
    planParts();
    out_.byteOrderMark();
    const bool utf16 =
        options_.encoding == Encoding::UTF16LE || options_.encoding == Encoding::UTF16BE;
    line(0, "<?xml version=\"1.0\" encoding=\"", utf16 ? "UTF-16" : "UTF-8", "\"?>");
    line(0, "<score-partwise version=\"4.0\">");
    line(1, "<work>");
    line(2, "<work-title>Étude Nr. ", static_cast<int>(options_.seed % 1000), "</work-title>");
    line(1, "</work>");
    partList();

    const auto target = static_cast<std::uint64_t>(options_.megabytes * 1e6);
    const std::size_t size = static_cast<std::size_t>(options_.groupSize);
    for (std::size_t i = 0; i < parts_.size(); i += size) {
      // Each group gets an even share of what is left, so the file ends near the target even
      // though the instruments differ in density. Members follow their first part's length.
      const std::uint64_t left = target > out_.bytes() ? target - out_.bytes() : 0;
      const std::uint64_t budget = left / (parts_.size() - i);
      const int count = part(parts_[i], 0, budget);
      for (std::size_t j = 1; j < size; ++j) static_cast<void>(part(parts_[i + j], count, 0));
      measures_ += count * options_.groupSize;
    }
    line(0, "</score-partwise>");
  }

  std::string callingSequence() const {
    std::string s = "CALLEDBY=ORVANTIDE,FILE=" + options_.out + "/";
    if (options_.groupSize == 1) return s;
    for (std::size_t i = 0; i < parts_.size(); i += static_cast<std::size_t>(options_.groupSize)) {
      const int first = parts_[i].number;
      const int last = first + options_.groupSize - 1;
      s += "STAVESUP=" + std::to_string(options_.groupSize - 1) + ",PART=" + std::to_string(last) +
           ",INSTR=,";
      for (int k = first; k <= last; ++k) s += std::to_string(k) + ",";
      s += "/";
    }
    return s;
  }

  std::size_t partCount() const { return parts_.size(); }
  int measureCount() const { return measures_; }

 private:
  void put(std::string_view s) { out_.text(s); }
  void put(const char* s) { out_.text(s); }
  void put(int v) { out_.number(v); }

  template <class... Pieces>
  void line(int depth, const Pieces&... pieces) {
    out_.tabs(depth);
    (put(pieces), ...);
    out_.endLine();
  }

  void planParts() {
    const int size = options_.groupSize;
    int count = 0;
    if (size == 1) {
      count = 8 + rng_.below(5);
    } else if (size == 2) {
      count = 2 * (4 + rng_.below(3));
    } else {
      count = 3 * (3 + rng_.below(2));
    }
    fifths_ = rng_.below(9) - 4;
    const int offset = rng_.below(12);
    for (int i = 0; i < count; ++i) {
      if (size == 1) {
        const Instrument& inst =
            kSoloInstruments[static_cast<std::size_t>(offset + i) % kSoloInstruments.size()];
        parts_.push_back(PartPlan{i + 1, inst.name, inst});
      } else {
        const GroupKind& kind =
            kGroupKinds[static_cast<std::size_t>(offset + i / size) % kGroupKinds.size()];
        const int member = i % size;
        const std::size_t staff = size == 2 && member == 1 ? 2 : static_cast<std::size_t>(member);
        parts_.push_back(PartPlan{i + 1, kind.name, kind.staves[staff]});
      }
    }
  }

  void partList() {
    line(1, "<part-list>");
    const int size = options_.groupSize;
    for (const PartPlan& p : parts_) {
      const bool opensGroup = size > 1 && (p.number - 1) % size == 0;
      if (opensGroup) {
        line(2, "<part-group type=\"start\" number=\"1\">");
        line(3, "<group-symbol>brace</group-symbol>");
        line(2, "</part-group>");
      }
      line(2, "<score-part id=\"P", p.number, "\">");
      line(3, "<part-name>", p.name, "</part-name>");
      line(2, "</score-part>");
      if (size > 1 && p.number % size == 0) line(2, "<part-group type=\"stop\" number=\"1\"/>");
    }
    line(1, "</part-list>");
  }

  // Writes one part and returns its measure count: exactly `count` measures, or with count 0
  // as many as it takes for the part to reach `budget` bytes (at least one).
  int part(const PartPlan& plan, int count, std::uint64_t budget) {
    const std::uint64_t start = out_.bytes();
    PartState state(plan);
    line(1, "<part id=\"P", plan.number, "\">");
    int number = 0;
    for (bool last = false; !last;) {
      ++number;
      line(2, "<measure number=\"", number, "\">");
      if (number == 1) firstAttributes(state);
      if (rng_.percent(12)) dynamics();
      voice(state, 1);
      if (rng_.percent(20)) {
        line(3, "<backup>");
        line(4, "<duration>", kMeasureLength, "</duration>");
        line(3, "</backup>");
        voice(state, 2);
      }
      last = count > 0 ? number == count : out_.bytes() - start >= budget;
      if (last) {
        line(3, "<barline location=\"right\">");
        line(4, "<bar-style>light-heavy</bar-style>");
        line(3, "</barline>");
      }
      line(2, "</measure>");
    }
    line(1, "</part>");
    return number;
  }

  void firstAttributes(const PartState& state) {
    line(3, "<attributes>");
    line(4, "<divisions>", kDivisions, "</divisions>");
    line(4, "<key>");
    line(5, "<fifths>", fifths_, "</fifths>");
    line(4, "</key>");
    line(4, "<time>");
    line(5, "<beats>4</beats>");
    line(5, "<beat-type>4</beat-type>");
    line(4, "</time>");
    clef(state.clef);
    line(3, "</attributes>");
  }

  void clef(const Clef& c) {
    line(4, "<clef>");
    line(5, "<sign>", c.sign, "</sign>");
    line(5, "<line>", c.line, "</line>");
    line(4, "</clef>");
  }

  void dynamics() {
    line(3, "<direction placement=\"below\">");
    line(4, "<direction-type>");
    line(5, "<dynamics>");
    line(6, "<", rng_.pick(kDynamics), "/>");
    line(5, "</dynamics>");
    line(4, "</direction-type>");
    line(3, "</direction>");
  }

  void wording() {
    line(3, "<direction placement=\"above\">");
    line(4, "<direction-type>");
    line(5, "<words>", rng_.pick(kWordings), "</words>");
    line(4, "</direction-type>");
    line(3, "</direction>");
  }

  // Fills one voice of a measure with exactly one measure's length, beat by beat.
  void voice(PartState& state, int voiceNo) {
    int remaining = kMeasureLength;
    while (remaining > 0) {
      const bool onHalf = remaining < kMeasureLength && remaining % (2 * kDivisions) == 0;
      if (voiceNo == 1 && onHalf) {
        if (rng_.percent(3)) {
          // Swing out to the other common clef and back, as a converter does for a passage
          // that leaves the staff's range.
          const Clef home = state.plan.staff.clef;
          if (state.clef.sign != home.sign) {
            state.clef = home;
          } else {
            state.clef = home.sign == kTreble.sign ? kBass : kTreble;
          }
          line(3, "<attributes>");
          clef(state.clef);
          line(3, "</attributes>");
        }
        if (rng_.percent(3)) wording();
      }
      const int r = rng_.below(100);
      if (remaining == kMeasureLength && r < 4) {
        note(state, voiceNo, {kMeasureLength, "whole", false, "", 0}, true);
        remaining = 0;
      } else if (remaining >= 2 * kDivisions && r < 20) {
        note(state, voiceNo, {2 * kDivisions, "half", false, "", 0}, true);
        remaining -= 2 * kDivisions;
      } else if (remaining >= 2 * kDivisions && r < 28) {
        note(state, voiceNo, {kDivisions * 3 / 2, "quarter", true, "", 0}, true);
        note(state, voiceNo, {kDivisions / 2, "eighth", false, "", 0}, true);
        remaining -= 2 * kDivisions;
      } else if (r < 60) {
        note(state, voiceNo, {kDivisions, "quarter", false, "", 0}, true);
        remaining -= kDivisions;
      } else if (r < 88) {
        note(state, voiceNo, {kDivisions / 2, "eighth", false, "begin", 1}, false);
        note(state, voiceNo, {kDivisions / 2, "eighth", false, "end", 1}, false);
        remaining -= kDivisions;
      } else {
        static constexpr std::array<std::string_view, 4> kBeams = {"begin", "continue", "continue",
                                                                   "end"};
        for (std::string_view beam : kBeams) {
          note(state, voiceNo, {kDivisions / 4, "16th", false, beam, 2}, false);
        }
        remaining -= kDivisions;
      }
    }
  }

  // One note event: a rest, or a note with possibly one or two chord notes stacked on it.
  void note(PartState& state, int voiceNo, const NoteShape& shape, bool restAllowed) {
    const Instrument& staff = state.plan.staff;
    if (restAllowed && rng_.percent(8)) {
      line(3, "<note>");
      line(4, "<rest/>");
      noteTail(shape, voiceNo, "", nullptr);
      line(3, "</note>");
      return;
    }
    int& pitch = state.pitch[static_cast<std::size_t>(voiceNo - 1)];
    pitch += rng_.below(5) - 2;
    if (pitch < staff.low) pitch = staff.low + 1;
    if (pitch > staff.high) pitch = staff.high - 1;
    const std::string_view stem = voiceNo == 2 ? "down" : (rng_.percent(60) ? "up" : "down");
    const int chordNotes = voiceNo == 1 && rng_.percent(12) ? 1 + rng_.below(2) : 0;
    for (int k = 0; k <= chordNotes; ++k) {
      line(3, "<note>");
      if (k > 0) line(4, "<chord/>");
      const int p = pitch + 2 * k;
      line(4, "<pitch>");
      line(5, "<step>", kSteps[static_cast<std::size_t>(p % 7)], "</step>");
      const bool altered = rng_.percent(8);
      const int alter = rng_.percent(50) ? -1 : 1;
      if (altered) line(5, "<alter>", alter, "</alter>");
      line(5, "<octave>", p / 7, "</octave>");
      line(4, "</pitch>");
      const bool lyric = k == 0 && voiceNo == 1 && rng_.percent(staff.lyricPercent);
      noteTail(shape, voiceNo, stem, altered ? (alter < 0 ? "flat" : "sharp") : nullptr);
      if (lyric) lyricLines(state);
      line(3, "</note>");
    }
  }

  // The children after the pitch or rest. Rests pass an empty stem.
  void noteTail(const NoteShape& shape, int voiceNo, std::string_view stem,
                const char* accidental) {
    line(4, "<duration>", shape.duration, "</duration>");
    line(4, "<voice>", voiceNo, "</voice>");
    line(4, "<type>", shape.type, "</type>");
    if (shape.dotted) line(4, "<dot/>");
    if (accidental != nullptr) line(4, "<accidental>", accidental, "</accidental>");
    if (!stem.empty() && shape.type != "whole") line(4, "<stem>", stem, "</stem>");
    for (int level = 1; level <= shape.beamLevels; ++level) {
      line(4, "<beam number=\"", level, "\">", shape.beam, "</beam>");
    }
  }

  void lyricLines(PartState& state) {
    std::string_view syllabic = "single";
    std::string_view text;
    if (state.inWord) {
      syllabic = rng_.percent(60) ? "end" : "middle";
      state.inWord = syllabic == "middle";
      text = rng_.pick(kSyllables);
    } else if (rng_.percent(30)) {
      syllabic = "begin";
      state.inWord = true;
      text = rng_.pick(kSyllables);
    } else {
      text = rng_.pick(kWords);
    }
    line(4, "<lyric number=\"1\">");
    line(5, "<syllabic>", syllabic, "</syllabic>");
    line(5, "<text>", text, "</text>");
    line(4, "</lyric>");
  }

  ScoreWriter& out_;
  const Options& options_;
  Rng rng_;
  std::vector<PartPlan> parts_;
  int fifths_ = 0;
  int measures_ = 0;
};

constexpr std::string_view kUsage =
    "usage: gen_score --out FILE --mb N --encoding utf8|utf8bom|utf16le|utf16be "
    "--groups none|2|3 [--seed S]\n";

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
  bool haveOut = false, haveSize = false, haveEncoding = false, haveGroups = false;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(name);
      return false;
    }
    const std::string_view value = argv[i + 1];
    const char* const end = value.data() + value.size();
    if (name == "--out") {
      options.out = std::string(value);
      haveOut = !value.empty();
    } else if (name == "--mb") {
      const auto r = std::from_chars(value.data(), end, options.megabytes);
      haveSize = r.ec == std::errc() && r.ptr == end && options.megabytes > 0;
      if (!haveSize) error = "--mb needs a positive number";
    } else if (name == "--encoding") {
      haveEncoding = true;
      if (value == "utf8") {
        options.encoding = Encoding::UTF8;
      } else if (value == "utf8bom") {
        options.encoding = Encoding::UTF8BOM;
      } else if (value == "utf16le") {
        options.encoding = Encoding::UTF16LE;
      } else if (value == "utf16be") {
        options.encoding = Encoding::UTF16BE;
      } else {
        haveEncoding = false;
        error = "unknown encoding " + std::string(value);
      }
    } else if (name == "--groups") {
      haveGroups = true;
      if (value == "none") {
        options.groupSize = 1;
      } else if (value == "2") {
        options.groupSize = 2;
      } else if (value == "3") {
        options.groupSize = 3;
      } else {
        haveGroups = false;
        error = "--groups takes none, 2 or 3";
      }
    } else if (name == "--seed") {
      const auto r = std::from_chars(value.data(), end, options.seed);
      if (r.ec != std::errc() || r.ptr != end) {
        error = "--seed needs an unsigned integer";
        return false;
      }
    } else {
      error = "unknown option " + std::string(name);
      return false;
    }
    if (!error.empty()) return false;
  }
  if (!(haveOut && haveSize && haveEncoding && haveGroups)) {
    error = "--out, --mb, --encoding and --groups are required";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "gen_score: %s\n%s", error.c_str(), kUsage.data());
    return 2;
  }
  // Binary mode: the CR LF line ends and UTF-16 units must reach the file untouched.
  std::FILE* file = std::fopen(options.out.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "gen_score: cannot create %s: %s\n", options.out.c_str(),
                 std::strerror(errno));
    return 1;
  }
  ScoreWriter writer(file, options.encoding);
  ScoreGenerator generator(writer, options);
  generator.run();
  const bool flushed = writer.flush();
  const int writeError = writer.error();
  const bool closed = std::fclose(file) == 0;
  if (!flushed || !closed) {
    std::fprintf(stderr, "gen_score: writing %s failed: %s\n", options.out.c_str(),
                 std::strerror(flushed ? errno : writeError));
    return 1;
  }
  std::printf("%s\n", generator.callingSequence().c_str());
  std::fprintf(stderr, "gen_score: %s: %llu bytes, %zu parts, %d measures\n", options.out.c_str(),
               static_cast<unsigned long long>(writer.bytes()), generator.partCount(),
               generator.measureCount());
  return 0;
}
