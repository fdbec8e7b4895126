#pragma once

#include <string>
#include <vector>

namespace e2e {

// A single-staff part as the converter writes it.
struct PartSpec {
  std::string id;  // the text after "P" in the id
  int measures = 2;
  int voices = 1;  // 2: a second voice behind a backup in every measure
  bool clefChange = false;
  bool bass = false;  // F clef instead of G
};

// A score-partwise text in the converter's layout (one element per line, a tab per level, CR LF,
// empty lines between parts), UTF-8 without byte-order mark.
std::string buildScore(const std::vector<PartSpec>& parts);

// The lines of `text` split at CR LF.
std::vector<std::string> splitLines(const std::string& text);

// `text` re-encoded: "UTF-8", "UTF-8-BOM", "UTF-16LE" or "UTF-16BE" (with byte-order mark).
std::string encode(const std::string& utf8, const std::string& encoding);
// A UTF-16 text (with byte-order mark) back to UTF-8; other texts unchanged.
std::string decode(const std::string& bytes);

}  // namespace e2e
