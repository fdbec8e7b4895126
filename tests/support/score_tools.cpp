#include "score_tools.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string>
#include <utility>

namespace testsupport {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kDeclaration = R"(<?xml version="1.0" encoding="UTF-8"?>)";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isBlank(std::string_view s) { return std::all_of(s.begin(), s.end(), isSpace); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// A parser reads any line break inside text as LF; writing it so keeps one element per CR LF line.
std::string normalizeBreaks(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\r') {
      out += s[i];
    } else if (i + 1 >= s.size() || s[i + 1] != '\n') {
      out += '\n';
    }
  }
  return out;
}

// The DOCTYPE may span lines in the source; the layout wants it on one.
std::string collapseSpace(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (!isSpace(c)) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  return out;
}

bool parseLong(std::string_view s, long& value) {
  s = trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

const std::string* findAttribute(const Node& node, std::string_view name) {
  for (const Attribute& a : node.attributes) {
    if (a.name == name) return &a.value;
  }
  return nullptr;
}

void removeAttribute(Node& node, std::string_view name) {
  std::erase_if(node.attributes, [&](const Attribute& a) { return a.name == name; });
}

void removeChildren(Node& node, std::string_view name) {
  std::erase_if(node.children, [&](const Node& c) { return c.name == name; });
}

Node element(std::string name, std::string text = {}) {
  Node n;
  n.name = std::move(name);
  n.text = std::move(text);
  return n;
}

Node timeMove(long delta) {
  Node move = element(delta < 0 ? "backup" : "forward");
  move.children.push_back(element("duration", std::to_string(delta < 0 ? -delta : delta)));
  return move;
}

void writeNode(std::string& out, const Node& node, std::size_t level) {
  out.append(level, '\t');
  if (!node.isElement()) {
    out += node.text;
    out += kLineEnd;
    return;
  }
  out += '<' + node.name;
  for (const Attribute& a : node.attributes) {
    out += ' ' + a.name + "=\"";
    for (char c : a.value) out += c == '"' ? std::string_view("&quot;") : std::string_view(&c, 1);
    out += '"';
  }
  // The merge reads every staff's measure up to its own end line, even when it is empty.
  bool keepsEndLine = node.name == "measure" || node.name == "part";
  if (node.children.empty() && (!keepsEndLine || !node.text.empty())) {
    out += node.text.empty() ? "/>" : '>' + node.text + "</" + node.name + '>';
  } else {
    out += '>';
    out += kLineEnd;
    for (const Node& c : node.children) writeNode(out, c, level + 1);
    out.append(level, '\t');
    out += "</" + node.name + '>';
  }
  out += kLineEnd;
}

}  // namespace

const Node* Node::child(std::string_view childName) const {
  for (const Node& c : children) {
    if (c.name == childName) return &c;
  }
  return nullptr;
}

std::string Node::childText(std::string_view childName) const {
  const Node* c = child(childName);
  return c == nullptr ? std::string() : c->text;
}

bool XMLTokenizer::fail(std::string message) {
  error_ = std::move(message) + " at byte " + std::to_string(pos_);
  return false;
}

bool XMLTokenizer::next(Token& token) {
  token = Token{};
  if (!error_.empty() || pos_ >= xml_.size()) return false;
  std::string_view rest = xml_.substr(pos_);
  if (rest.front() != '<') {
    std::size_t end = std::min(xml_.find('<', pos_), xml_.size());
    token.text = xml_.substr(pos_, end - pos_);
    pos_ = end;
    return true;
  }
  auto takeUntil = [&](TokenKind kind, std::string_view close) {
    std::size_t end = xml_.find(close, pos_ + 2);
    if (end == std::string_view::npos) return fail("unterminated markup");
    end += close.size();
    token.kind = kind;
    token.text = xml_.substr(pos_, end - pos_);
    pos_ = end;
    return true;
  };
  if (rest.starts_with("<!--")) return takeUntil(TokenKind::kComment, "-->");
  if (rest.starts_with("<![CDATA[")) return takeUntil(TokenKind::kText, "]]>");
  if (rest.starts_with("<?")) {
    bool isDeclaration = rest.size() > 5 && rest.starts_with("<?xml") && isSpace(rest[5]);
    return takeUntil(isDeclaration ? TokenKind::kDeclaration : TokenKind::kProcessingInstruction,
                     "?>");
  }
  // MusicXML's DOCTYPE has no internal subset, so its first '>' ends it.
  if (rest.starts_with("<!DOCTYPE")) return takeUntil(TokenKind::kDoctype, ">");
  return readTag(token);
}

bool XMLTokenizer::readTag(Token& token) {
  bool closing = xml_.size() > pos_ + 1 && xml_[pos_ + 1] == '/';
  std::size_t p = pos_ + (closing ? 2 : 1);
  auto nameEnd = [&](char c) { return isSpace(c) || c == '/' || c == '>' || c == '='; };
  auto readName = [&]() {
    std::size_t start = p;
    while (p < xml_.size() && !nameEnd(xml_[p])) ++p;
    return std::string(xml_.substr(start, p - start));
  };
  auto skipSpace = [&]() {
    while (p < xml_.size() && isSpace(xml_[p])) ++p;
  };
  token.name = readName();
  if (token.name.empty()) return fail("tag without a name");
  token.kind = closing ? TokenKind::kEndTag : TokenKind::kStartTag;
  for (;;) {
    skipSpace();
    if (p >= xml_.size()) return fail("unterminated tag <" + token.name);
    if (xml_[p] == '>') {
      ++p;
      break;
    }
    if (!closing && xml_.substr(p).starts_with("/>")) {
      token.kind = TokenKind::kEmptyTag;
      p += 2;
      break;
    }
    if (closing) return fail("unexpected text in end tag </" + token.name);
    Attribute a{readName(), {}};
    skipSpace();
    if (a.name.empty() || p >= xml_.size() || xml_[p] != '=') {
      return fail("malformed attribute in <" + token.name);
    }
    ++p;
    skipSpace();
    char quote = p < xml_.size() ? xml_[p] : '\0';
    std::size_t end = xml_.find(quote, p + 1);
    if ((quote != '"' && quote != '\'') || end == std::string_view::npos) {
      return fail("unquoted attribute value in <" + token.name);
    }
    a.value = xml_.substr(p + 1, end - p - 1);
    token.attributes.push_back(std::move(a));
    p = end + 1;
  }
  pos_ = p;
  return true;
}

std::optional<Document> parseDocument(std::string_view xml, std::string* error) {
  auto failed = [&](std::string message) -> std::optional<Document> {
    if (error != nullptr) *error = std::move(message);
    return std::nullopt;
  };
  XMLTokenizer tokenizer(xml);
  Token token;
  Document doc;
  std::vector<Node*> open;  // ancestors only, so sibling growth never moves them
  bool rootSeen = false;
  std::string pendingSpace;  // kept only if it turns out to be a leaf's whole content
  while (tokenizer.next(token)) {
    std::string space = std::exchange(pendingSpace, {});
    if (token.kind == TokenKind::kText && isBlank(token.text)) {
      pendingSpace = token.text;
      continue;
    }
    Node* parent = open.empty() ? nullptr : open.back();
    if (parent != nullptr && token.kind != TokenKind::kEndTag && !parent->text.empty()) {
      return failed("mixed content in <" + parent->name + ">");
    }
    switch (token.kind) {
      case TokenKind::kDeclaration:
        break;
      case TokenKind::kDoctype:
        doc.doctype = collapseSpace(token.text);
        break;
      case TokenKind::kComment:
      case TokenKind::kProcessingInstruction: {
        Node n;
        n.text = normalizeBreaks(token.text);
        if (parent != nullptr) {
          parent->children.push_back(std::move(n));
        } else {
          (rootSeen ? doc.epilog : doc.prolog).push_back(std::move(n));
        }
        break;
      }
      case TokenKind::kText:
        if (parent == nullptr) return failed("text outside the root element");
        if (!parent->children.empty()) return failed("mixed content in <" + parent->name + ">");
        parent->text = space + normalizeBreaks(token.text);
        break;
      case TokenKind::kStartTag:
      case TokenKind::kEmptyTag: {
        Node n = element(token.name);
        n.attributes = std::move(token.attributes);
        Node* added = nullptr;
        if (parent != nullptr) {
          parent->children.push_back(std::move(n));
          added = &parent->children.back();
        } else if (!rootSeen) {
          doc.root = std::move(n);
          added = &doc.root;
          rootSeen = true;
        } else {
          return failed("second root element <" + token.name + ">");
        }
        if (token.kind == TokenKind::kStartTag) open.push_back(added);
        break;
      }
      case TokenKind::kEndTag:
        if (parent == nullptr || parent->name != token.name) {
          return failed("unexpected end tag </" + token.name + ">");
        }
        if (parent->children.empty() && parent->text.empty() &&
            space.find('\n') == std::string::npos) {
          parent->text = space;
        }
        open.pop_back();
        break;
    }
  }
  if (!tokenizer.error().empty()) return failed(tokenizer.error());
  if (!open.empty()) return failed("unclosed element <" + open.back()->name + ">");
  if (!rootSeen) return failed("no root element");
  return doc;
}

std::string writeConverterLayout(const Document& doc) {
  std::string out(kDeclaration);
  out += kLineEnd;
  if (!doc.doctype.empty()) {
    out += doc.doctype;
    out += kLineEnd;
  }
  for (const Node& n : doc.prolog) writeNode(out, n, 0);
  writeNode(out, doc.root, 0);
  for (const Node& n : doc.epilog) writeNode(out, n, 0);
  return out;
}

std::string toConverterLayout(std::string_view musicxml, std::string* error) {
  std::optional<Document> doc = parseDocument(musicxml, error);
  return doc ? writeConverterLayout(*doc) : std::string();
}

namespace {

// Splits the measures of one multi-staff part into one part per staff, keeping every note at
// its time position: each staff has its own cursor, and the original's backups and forwards
// are replaced by the ones that staff needs.
class PartSplitter {
 public:
  PartSplitter(const Node& part, int staves) : part_(part), staves_(staves) {
    parts_.assign(static_cast<std::size_t>(staves), element("part"));
  }

  // Returns "" or the reason the part cannot be split.
  std::string run() {
    for (const Node& c : part_.children) {
      if (c.name != "measure") {
        for (Node& p : parts_) p.children.push_back(c);
      } else if (std::string error = splitMeasure(c); !error.empty()) {
        return "measure " + attributeOr(c, "number") + ": " + error;
      }
    }
    return checkFirstAttributes();
  }

  std::vector<Node>& parts() { return parts_; }

 private:
  static std::string attributeOr(const Node& n, std::string_view name) {
    const std::string* v = findAttribute(n, name);
    return v == nullptr ? "?" : *v;
  }

  Node& measureOf(int staff) { return parts_[static_cast<std::size_t>(staff - 1)].children.back(); }

  // Emits `n` in `staff` at `onset`, moving that staff's cursor there first.
  void place(int staff, long onset, Node n) {
    long& cursor = cursors_[static_cast<std::size_t>(staff - 1)];
    if (onset != cursor) measureOf(staff).children.push_back(timeMove(onset - cursor));
    cursor = onset;
    measureOf(staff).children.push_back(std::move(n));
  }

  std::string staffOf(const Node& n, int& staff) const {
    std::string text = n.childText("staff");
    long value = 1;
    if (!text.empty() && !parseLong(text, value)) return "bad <staff> '" + text + "'";
    if (value < 1 || value > staves_) return "staff " + text + " outside the part's staves";
    staff = static_cast<int>(value);
    return {};
  }

  static std::string durationOf(const Node& n, long& duration) {
    std::string text = n.childText("duration");
    if (!parseLong(text, duration) || duration < 0) {
      return "<" + n.name + "> without a valid <duration>";
    }
    return {};
  }

  std::string splitMeasure(const Node& measure) {
    for (Node& p : parts_) {
      // The merge finds a measure by "<measure number=" at its start.
      Node m = element("measure");
      m.attributes = measure.attributes;
      std::ranges::stable_partition(m.attributes,
                                    [](const Attribute& a) { return a.name == "number"; });
      p.children.push_back(std::move(m));
    }
    cursors_.assign(static_cast<std::size_t>(staves_), 0);
    time_ = 0;
    chordOnset_ = 0;
    started_ = false;
    chordStaves_.clear();
    for (const Node& c : measure.children) {
      if (std::string error = splitChild(c); !error.empty()) return error;
    }
    return {};
  }

  std::string splitChild(const Node& c) {
    std::string error;
    long duration = 0;
    int staff = 1;
    if (!c.isElement()) {
      measureOf(1).children.push_back(c);
    } else if (c.name == "backup" || c.name == "forward") {
      error = durationOf(c, duration);
      time_ += c.name == "backup" ? -duration : duration;
      if (time_ < 0) error = "<backup> before the measure's start";
      started_ = true;
    } else if (c.name == "attributes") {
      error = splitAttributes(c);
    } else if (error = staffOf(c, staff); !error.empty()) {
      return error;
    } else if (c.name == "note") {
      bool chord = c.child("chord") != nullptr;
      if (c.child("grace") == nullptr) error = durationOf(c, duration);
      if (!chord) {
        chordOnset_ = time_;
        chordStaves_.clear();
      }
      // A chord spread over two staves starts afresh in each staff's own part.
      bool chordInStaff = chord && std::ranges::count(chordStaves_, staff) > 0;
      chordStaves_.push_back(staff);
      Node note = c;
      removeChildren(note, "staff");
      // The merge knows a note only by a line that is exactly "<note>".
      note.attributes.clear();
      if (chordInStaff) {
        measureOf(staff).children.push_back(std::move(note));
      } else {
        if (chord) removeChildren(note, "chord");
        place(staff, chordOnset_, std::move(note));
        cursors_[static_cast<std::size_t>(staff - 1)] += duration;
      }
      if (!chord) time_ += duration;
      started_ = true;
    } else {
      Node copy = c;
      removeChildren(copy, "staff");
      place(staff, time_, std::move(copy));
    }
    return error;
  }

  // Gives each staff its share of an attributes block: children with a number attribute (clef
  // without one: staff 1) go to that staff only, the rest to all.
  std::string splitAttributes(const Node& attributes) {
    for (int s = 1; s <= staves_; ++s) {
      Node share = element("attributes");
      share.attributes = attributes.attributes;
      for (const Node& c : attributes.children) {
        if (c.name == "staves" || c.name == "part-symbol") continue;
        if (c.name == "divisions") {
          if (started_ && !divisions_.empty() && trim(c.text) != divisions_) {
            return "divisions change inside the measure";
          }
          divisions_ = trim(c.text);
        }
        long target = c.name == "clef" || !c.isElement() ? 1 : s;
        if (const std::string* number = findAttribute(c, "number");
            number != nullptr && !parseLong(*number, target)) {
          return "bad number attribute on <" + c.name + ">";
        }
        if (target != s) continue;
        Node copy = c;
        removeAttribute(copy, "number");
        // The merge renumbers only a clef line that is exactly "<clef>".
        if (copy.name == "clef" && !copy.attributes.empty()) {
          return "<clef> with attributes besides number";
        }
        share.children.push_back(std::move(copy));
      }
      if (!share.children.empty()) place(s, time_, std::move(share));
    }
    return {};
  }

  // The merge finds the staves' clefs in each part's first attributes block, after the time.
  std::string checkFirstAttributes() const {
    for (std::size_t s = 0; s < parts_.size(); ++s) {
      const Node* first = nullptr;
      for (const Node& m : parts_[s].children) {
        first = m.name == "measure" ? m.child("attributes") : nullptr;
        if (first != nullptr) break;
      }
      std::string where = "staff " + std::to_string(s + 1) + ": ";
      if (first == nullptr) return where + "no <attributes>";
      auto time =
          std::ranges::find_if(first->children, [](const Node& c) { return c.name == "time"; });
      if (time == first->children.end()) return where + "first <attributes> has no <time>";
      if (std::find_if(time, first->children.end(),
                       [](const Node& c) { return c.name == "clef"; }) == first->children.end()) {
        return where + "first <attributes> has no <clef> after its <time>";
      }
    }
    return {};
  }

  const Node& part_;
  int staves_;
  std::vector<Node> parts_;
  std::vector<long> cursors_;
  long time_ = 0;
  long chordOnset_ = 0;
  std::vector<int> chordStaves_;  // staves of the notes of the current chord so far
  bool started_ = false;          // a note or time move has been seen in this measure
  std::string divisions_;
};

int stavesOf(const Node& part) {
  long staves = 1;
  for (const Node& m : part.children) {
    for (const Node& a : m.children) {
      long value = 0;
      if (a.name == "attributes" && parseLong(a.childText("staves"), value)) {
        staves = std::max(staves, value);
      }
    }
  }
  return static_cast<int>(std::min(staves, 1000L));
}

void setId(Node& node, int number) {
  removeAttribute(node, "id");
  node.attributes.insert(node.attributes.begin(), Attribute{"id", "P" + std::to_string(number)});
}

}  // namespace

SplitResult splitScore(std::string_view musicxml) {
  SplitResult result;
  std::string error;
  std::optional<Document> doc = parseDocument(musicxml, &error);
  if (!doc) {
    result.error = "malformed XML: " + error;
    return result;
  }
  if (doc->root.name != "score-partwise") {
    result.error = "not a score-partwise document";
    return result;
  }
  std::vector<Node> children;
  int nextNumber = 1;
  bool afterPartList = false;
  for (const Node& c : doc->root.children) {
    // The converter writes nothing but parts after the part list; a comment there would stop
    // the program's run as a line out of sequence.
    if (afterPartList && !c.isElement()) continue;
    afterPartList = afterPartList || c.name == "part-list";
    if (c.name != "part") {
      children.push_back(c);
      continue;
    }
    const std::string* id = findAttribute(c, "id");
    PartMapping mapping{result.parts.size(), id == nullptr ? "" : *id, stavesOf(c), {}};
    for (int s = 0; s < mapping.staffCount; ++s) mapping.newNumbers.push_back(nextNumber++);
    if (mapping.staffCount == 1) {
      children.push_back(c);
      setId(children.back(), mapping.newNumbers.front());
    } else {
      PartSplitter splitter(c, mapping.staffCount);
      if (std::string why = splitter.run(); !why.empty()) {
        result.error = "part " + mapping.originalId + ", " + why;
        return result;
      }
      for (int s = 0; s < mapping.staffCount; ++s) {
        Node& p = splitter.parts()[static_cast<std::size_t>(s)];
        p.attributes = c.attributes;
        setId(p, mapping.newNumbers[static_cast<std::size_t>(s)]);
        children.push_back(std::move(p));
      }
      result.groups += "STAVESUP=" + std::to_string(mapping.staffCount - 1) +
                       ",PART=" + std::to_string(mapping.newNumbers.back()) + ",INSTR=,";
      for (int n : mapping.newNumbers) result.groups += std::to_string(n) + ",";
      result.groups += "/";
    }
    result.parts.push_back(std::move(mapping));
  }
  for (Node& c : children) {
    if (c.name != "part-list") continue;
    std::vector<Node> entries;
    for (const Node& entry : c.children) {
      if (entry.name != "score-part") {
        entries.push_back(entry);
        continue;
      }
      const std::string* id = findAttribute(entry, "id");
      auto mapping = std::ranges::find_if(
          result.parts, [&](const PartMapping& m) { return id != nullptr && m.originalId == *id; });
      if (mapping == result.parts.end()) {
        result.error =
            "score-part " + (id == nullptr ? std::string("without id") : *id) + " has no <part>";
        return result;
      }
      for (int number : mapping->newNumbers) {
        entries.push_back(entry);
        setId(entries.back(), number);
      }
    }
    c.children = std::move(entries);
  }
  doc->root.children = std::move(children);
  result.text = writeConverterLayout(*doc);
  return result;
}

std::ostream& operator<<(std::ostream& os, const NoteInfo& note) {
  os << "m" << note.measure << ' ' << note.pitch << " dur=" << note.duration.value_or("none")
     << " onset=" << note.onset << " voice=" << note.voice;
  if (note.chord) os << " chord";
  if (note.grace) os << " grace";
  return os;
}

StaffNotes notesByStaff(std::string_view musicxml) {
  StaffNotes notes;
  std::optional<Document> doc = parseDocument(musicxml);
  if (!doc) return notes;
  for (const Node& part : doc->root.children) {
    if (part.name != "part") continue;
    const std::string* partId = findAttribute(part, "id");
    for (const Node& measure : part.children) {
      if (measure.name != "measure") continue;
      const std::string* number = findAttribute(measure, "number");
      long time = 0;
      long chordOnset = 0;
      std::vector<long> chordStaves;
      for (const Node& c : measure.children) {
        long duration = 0;
        if (c.name == "backup" || c.name == "forward") {
          parseLong(c.childText("duration"), duration);
          time += c.name == "backup" ? -duration : duration;
        }
        if (c.name != "note") continue;
        NoteInfo info;
        long staff = 1;
        if (const Node* s = c.child("staff")) parseLong(s->text, staff);
        bool chord = c.child("chord") != nullptr;
        info.measure = number == nullptr ? "" : *number;
        info.grace = c.child("grace") != nullptr;
        if (const Node* d = c.child("duration")) {
          info.duration = std::string(trim(d->text));
          parseLong(d->text, duration);
        }
        if (!chord) {
          chordOnset = time;
          chordStaves.clear();
          if (!info.grace) time += duration;
        }
        info.chord = chord && std::ranges::count(chordStaves, staff) > 0;
        chordStaves.push_back(staff);
        info.onset = chordOnset;
        info.voice = std::string(trim(c.childText("voice")));
        if (const Node* p = c.child("pitch")) {
          std::string alter(trim(p->childText("alter")));
          info.pitch = p->childText("step") + (alter.empty() ? "" : "(" + alter + ")") +
                       p->childText("octave");
        } else if (const Node* u = c.child("unpitched")) {
          info.pitch = "x:" + u->childText("display-step") + u->childText("display-octave");
        } else if (const Node* r = c.child("rest")) {
          info.pitch = "rest" + r->childText("display-step") + r->childText("display-octave");
        }
        notes[{partId == nullptr ? "" : *partId, static_cast<int>(staff)}].push_back(info);
      }
    }
  }
  return notes;
}

}  // namespace testsupport
