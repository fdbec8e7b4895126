#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Tools that turn real MusicXML scores into the converter's line layout, split multi-staff parts
// into single-staff parts for the merge, and list the notes of every staff so that a merged
// result can be compared with its original. Standard library only; the input is trusted to be
// well-formed score-partwise text.
namespace testsupport {

enum class TokenKind {
  kDeclaration,  // <?xml ...?>
  kDoctype,
  kComment,
  kProcessingInstruction,
  kStartTag,
  kEndTag,
  kEmptyTag,
  kText,
};

// An attribute value is kept raw, as it stood between its quotes (entities unresolved).
struct Attribute {
  std::string name;
  std::string value;
  bool operator==(const Attribute&) const = default;
};

// For tags, `name` and `attributes` are set; for every other kind, `text` holds the raw bytes
// (a comment or instruction with its delimiters, text content without any change).
struct Token {
  TokenKind kind = TokenKind::kText;
  std::string name;
  std::vector<Attribute> attributes;
  std::string text;
};

// Pull tokenizer over a whole document held in memory; the view must outlive it.
class XMLTokenizer {
 public:
  explicit XMLTokenizer(std::string_view xml) : xml_(xml) {}
  // Fills `token` and returns true, or returns false at the end of input or on malformed input
  // (then error() is non-empty).
  bool next(Token& token);
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string message);
  bool readTag(Token& token);
  std::string_view xml_;
  std::size_t pos_ = 0;
  std::string error_;
};

// An element, or a comment / processing instruction (empty `name`, raw bytes in `text`).
// Whitespace-only text between elements is not kept.
struct Node {
  std::string name;
  std::vector<Attribute> attributes;
  std::string text;
  std::vector<Node> children;
  bool isElement() const { return !name.empty(); }
  const Node* child(std::string_view childName) const;
  std::string childText(std::string_view childName) const;  // "" when absent
};

struct Document {
  std::string doctype;       // one line, empty when the source had none
  std::vector<Node> prolog;  // comments and instructions before the root element
  Node root;
  std::vector<Node> epilog;
};

// Parses a whole document; on malformed input returns nullopt and sets `error` if given.
std::optional<Document> parseDocument(std::string_view xml, std::string* error = nullptr);

// The converter layout: UTF-8 declaration, DOCTYPE, one element per line indented with one tab
// per nesting level, attributes double-quoted, every line ended by CR LF.
std::string writeConverterLayout(const Document& doc);
// Same for text; returns "" and sets `error` (if given) when the text is malformed.
std::string toConverterLayout(std::string_view musicxml, std::string* error = nullptr);

struct PartMapping {
  std::size_t index = 0;  // position of the part in the original score, from 0
  std::string originalId;
  int staffCount = 1;
  std::vector<int> newNumbers;  // one per staff, ascending
};

struct SplitResult {
  std::string error;   // empty on success; then the fields below are set
  std::string text;    // the split score in converter layout
  std::string groups;  // calling-sequence groups, e.g. "STAVESUP=1,PART=2,INSTR=,1,2,/"
  std::vector<PartMapping> parts;
  bool ok() const { return error.empty(); }
};

// Replaces every part with N >= 2 staves by N single-staff parts and renumbers all parts P1,
// P2, ... in score order. Refuses (error set) a score whose split staves the merge could not
// read: no time signature or plain clef in a staff's first attributes, divisions changing inside
// a measure, a staff number outside the part's staves.
SplitResult splitScore(std::string_view musicxml);

// One note as the merge must preserve it. `onset` (in divisions from the measure start) and
// `voice` are kept for tests that want them but are not part of ==: the merge renumbers voices
// and may place notes by its own backups.
struct NoteInfo {
  std::string measure;  // the measure's number attribute
  std::string pitch;    // "C#4" style: step, alter in parentheses if any, octave; "rest"; "x:E4"
  std::optional<std::string> duration;  // absent for grace notes
  bool chord = false;                   // shares its onset with the previous note of the same staff
  bool grace = false;
  long onset = 0;
  std::string voice;
  bool operator==(const NoteInfo& o) const {
    return measure == o.measure && pitch == o.pitch && duration == o.duration && chord == o.chord &&
           grace == o.grace;
  }
};
std::ostream& operator<<(std::ostream& os, const NoteInfo& note);

using StaffKey = std::pair<std::string, int>;  // part id, staff number from 1
using StaffNotes = std::map<StaffKey, std::vector<NoteInfo>>;

// Notes of every staff of every part, in document order. A note's staff is its <staff> value,
// 1 if absent. Returns an empty map for malformed text.
StaffNotes notesByStaff(std::string_view musicxml);

}  // namespace testsupport
