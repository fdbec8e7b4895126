#include "merge/line_rules.h"

#include <charconv>

#include "base/text.h"

namespace merge {

void appendNumber(std::string& out, std::int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

bool plainNumber(std::string_view rest, std::string_view open, std::string_view close,
                 bool withSign, std::string_view& digits) {
  if (!rest.starts_with(open) || !rest.ends_with(close)) return false;
  if (rest.size() <= open.size() + close.size()) return false;
  digits = rest.substr(open.size(), rest.size() - open.size() - close.size());
  const std::string_view unsigned_ =
      withSign && (digits[0] == '-' || digits[0] == '+') ? digits.substr(1) : digits;
  return base::isAllDigits(unsigned_);
}

std::string_view numberedTag(std::string& out, std::string_view line, const base::LineShape& shape,
                             std::string_view name, std::int64_t number, const run::RunState& st) {
  const std::string_view tag = shape.rest.substr(0, shape.rest.find('>'));
  if (base::contains(tag, " number=")) return line;
  const std::size_t at = shape.depth + 1 + name.size();  // behind "<" and the name
  out.assign(line.substr(0, at)).append(" number=").append(st.quoteChar);
  appendNumber(out, number);
  return out.append(st.quoteChar).append(line.substr(at));
}

std::string_view withValue(std::string& out, std::string_view line, std::string_view digits,
                           std::int64_t value) {
  const auto at = static_cast<std::size_t>(digits.data() - line.data());
  out.assign(line.substr(0, at));
  appendNumber(out, value);
  return out.append(line.substr(at + digits.size()));
}

std::string_view clefLine(std::string& out, std::int64_t number, const run::RunState& st) {
  out.clear();
  base::indent(out, 4, st.tabChar.front()).append("<clef number=").append(st.quoteChar);
  appendNumber(out, number);
  return out.append(st.quoteChar).append(">");
}

}  // namespace merge
