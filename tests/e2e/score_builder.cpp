#include "tests/e2e/score_builder.h"

namespace e2e {
namespace {

class Writer {
 public:
  void line(int depth, const std::string& text) {
    text_.append(static_cast<std::size_t>(depth), '\t');
    text_ += text;
    text_ += "\r\n";
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

void note(Writer& w, const std::string& step, int octave, int duration, int voice, bool chord,
          const std::string& lyric = "") {
  w.line(3, "<note>");
  if (chord) w.line(4, "<chord/>");
  w.line(4, "<pitch>");
  w.line(5, "<step>" + step + "</step>");
  w.line(5, "<octave>" + std::to_string(octave) + "</octave>");
  w.line(4, "</pitch>");
  w.line(4, "<duration>" + std::to_string(duration) + "</duration>");
  w.line(4, "<voice>" + std::to_string(voice) + "</voice>");
  w.line(4, duration == 2 ? "<type>quarter</type>" : "<type>half</type>");
  if (!lyric.empty()) {
    w.line(4, "<lyric number=\"1\">");
    w.line(5, "<text>" + lyric + "</text>");
    w.line(4, "</lyric>");
  }
  w.line(3, "</note>");
}

void clef(Writer& w, bool bass) {
  w.line(4, "<clef>");
  w.line(5, bass ? "<sign>F</sign>" : "<sign>G</sign>");
  w.line(5, bass ? "<line>4</line>" : "<line>2</line>");
  w.line(4, "</clef>");
}

}  // namespace

std::string buildScore(const std::vector<PartSpec>& parts) {
  Writer w;
  w.line(0, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>");
  w.line(0, "<score-partwise version=\"4.0\">");
  w.line(1, "<part-list>");
  for (const PartSpec& p : parts) {
    w.line(2, "<score-part id=\"P" + p.id + "\">");
    w.line(3, "<part-name>Part " + p.id + "</part-name>");
    w.line(2, "</score-part>");
  }
  w.line(1, "</part-list>");
  for (const PartSpec& p : parts) {
    w.line(0, "");
    w.line(1, "<part id=\"P" + p.id + "\">");
    for (int m = 1; m <= p.measures; ++m) {
      w.line(2, "<measure number=\"" + std::to_string(m) + "\">");
      if (m == 1) {
        w.line(3, "<attributes>");
        w.line(4, "<divisions>2</divisions>");
        w.line(4, "<key>");
        w.line(5, "<fifths>0</fifths>");
        w.line(4, "</key>");
        w.line(4, "<time>");
        w.line(5, "<beats>3</beats>");
        w.line(5, "<beat-type>4</beat-type>");
        w.line(4, "</time>");
        clef(w, p.bass);
        w.line(3, "</attributes>");
        w.line(3, "<direction placement=\"below\">");
        w.line(4, "<direction-type>");
        w.line(5, "<dynamics>");
        w.line(6, "<mf/>");
        w.line(5, "</dynamics>");
        w.line(4, "</direction-type>");
        w.line(3, "</direction>");
      }
      const int octave = p.bass ? 3 : 4;
      note(w, "C", octave, 2, 1, false,
           m == 1 ? "Gr\xC3\xBC\xC3\x9F"
                    "e"
                  : "");
      note(w, "E", octave, 2, 1, true);
      if (p.clefChange && m % 2 == 0) {
        w.line(3, "<attributes>");
        clef(w, !p.bass);
        w.line(3, "</attributes>");
      }
      note(w, "G", octave, 4, 1, false);
      if (p.voices == 2) {
        w.line(3, "<backup>");
        w.line(4, "<duration>6</duration>");
        w.line(3, "</backup>");
        note(w, "A", octave - 1, 4, 2, false);
        note(w, "B", octave - 1, 2, 2, false);
      }
      w.line(2, "</measure>");
    }
    w.line(1, "</part>");
  }
  w.line(0, "</score-partwise>");
  return w.take();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
    lines.push_back(text.substr(from, at - from));
    from = at + 2;
  }
  if (from < text.size()) lines.push_back(text.substr(from));
  return lines;
}

std::string encode(const std::string& utf8, const std::string& encoding) {
  if (encoding == "UTF-8") return utf8;
  if (encoding == "UTF-8-BOM") return "\xEF\xBB\xBF" + utf8;
  const bool be = encoding == "UTF-16BE";
  std::string out = be ? "\xFE\xFF" : "\xFF\xFE";
  const auto unit = [&](std::uint32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += be ? std::string{hi, lo} : std::string{lo, hi};
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    std::uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1Fu : len == 3 ? c & 0x0Fu : c & 0x07u;
    for (std::size_t k = 1; k < len; ++k)
      cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
    i += len;
  }
  return out;
}

std::string decode(const std::string& bytes) {
  if (bytes.size() < 2) return bytes;
  const bool le = bytes.starts_with("\xFF\xFE");
  const bool be = bytes.starts_with("\xFE\xFF");
  if (!le && !be) return bytes;
  std::string out;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]),
               b = static_cast<unsigned char>(bytes[i + 1]);
    std::uint32_t u = le ? (b << 8u | a) : (a << 8u | b);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      const auto c = static_cast<unsigned char>(bytes[i + 2]),
                 d = static_cast<unsigned char>(bytes[i + 3]);
      const std::uint32_t low = le ? (d << 8u | c) : (c << 8u | d);
      u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += {static_cast<char>(0xC0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3F))};
    } else if (u < 0x10000) {
      out += {static_cast<char>(0xE0 | (u >> 12)), static_cast<char>(0x80 | ((u >> 6) & 0x3F)),
              static_cast<char>(0x80 | (u & 0x3F))};
    } else {
      out += {static_cast<char>(0xF0 | (u >> 18)), static_cast<char>(0x80 | ((u >> 12) & 0x3F)),
              static_cast<char>(0x80 | ((u >> 6) & 0x3F)), static_cast<char>(0x80 | (u & 0x3F))};
    }
  }
  return out;
}

}  // namespace e2e
