#include "app/calling_sequence.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/checked.h"

namespace app {
namespace {

constexpr std::string_view kPrefix = "CALLEDBY=ORVANTIDE,";

std::int16_t digitsValue(std::string_view digits) {
  std::int16_t value = 0;
  for (char c : digits) value = platform::checkedNarrow<std::int16_t>(value * 10LL + (c - '0'));
  return value;
}

class Remainder {
 public:
  Remainder(Context& ctx, std::string_view whole) : ctx_(ctx), whole_(whole), rest_(whole) {}

  [[noreturn]] void refuse(std::string_view literal) const {
    std::string text(literal);
    text += "\r\n";
    text += whole_;
    reportAndEnd(ctx_, text);
  }

  // Cuts `literal` off the front, or refuses with `message`.
  void expect(std::string_view literal, std::string_view message) {
    if (!rest_.starts_with(literal)) refuse(message);
    rest_.remove_prefix(literal.size());
  }

  // The text before the first `stop`, which is cut off with it; refuses with `message` when the
  // remainder holds no `stop`.
  std::string_view upTo(char stop, std::string_view message) const {
    const auto at = rest_.find(stop);
    if (at == std::string_view::npos) refuse(message);
    return rest_.substr(0, at);
  }
  void cut(std::string_view field) { drop(field.size() + 1); }
  void drop(std::size_t count) { rest_.remove_prefix(count); }

  bool empty() const { return rest_.empty(); }

 private:
  Context& ctx_;
  std::string_view whole_;
  std::string_view rest_;
};

std::string detail(int n) {
  std::string text = "Invalid calling sequence. Detail incorrect (";
  text += std::to_string(n);
  text += "). ";
  return text;
}

}  // namespace

bool isAllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

double leadingNumber(std::string_view text) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t start = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == start) return 0.0;
  if (i + 1 < text.size() && text[i] == '.' && isDigit(text[i + 1])) {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i;
  }
  // from_chars, unlike strtod, ignores the locale, so a decimal point is always '.'.
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(text.data() + start, text.data() + i, value, std::chars_format::fixed);
  static_cast<void>(end);
  if (ec == std::errc::result_out_of_range) value = std::numeric_limits<double>::infinity();
  return negative ? -value : value;
}

bool fileExists(Context& ctx, std::string_view path) {
  if (path.find("\\\\") != std::string_view::npos) return false;
  const platform::FileNo no = ctx.files.freeFile();
  if (!ctx.files.open(no, path, platform::Mode::TextIn)) return false;
  static_cast<void>(ctx.files.close(no));
  return true;
}

void readCallingSequence(Context& ctx, std::string_view argumentString) {
  RunState& st = ctx.state;
  st.quoteChar.assign(1, '"');
  st.tabChar.assign(1, '\t');
  Remainder rest(ctx, argumentString);

  // The only refusal shown without the argument string: it is no calling sequence at all.
  if (!argumentString.starts_with(kPrefix)) {
    reportAndEnd(ctx, "This program can only be called by Orvantide.");
  }
  rest.drop(kPrefix.size());
  rest.expect("FILE=", "Invalid calling sequence. FILE= missing. ");
  const std::string_view path = rest.upTo('/', "Invalid calling sequence. / missing. ");
  st.inputPath = std::string(path);
  if (!fileExists(ctx, st.inputPath)) rest.refuse("Invalid calling sequence. Unknown file. ");
  rest.cut(path);

  st.groupCount = 0;
  st.groupStavesUp.clear();
  st.groupPart.clear();
  st.groupInstr.clear();
  while (!rest.empty()) {
    st.groupCount = platform::add16(st.groupCount, 1);
    st.groupStavesUp.push_back(0);
    st.groupPart.push_back(0);
    st.groupInstr.emplace_back();

    rest.expect("STAVESUP=", detail(1));
    const std::string_view stavesUp = rest.upTo(',', detail(2));
    if (!isAllDigits(stavesUp)) rest.refuse(detail(3));
    st.groupStavesUp.back() = digitsValue(stavesUp);
    rest.cut(stavesUp);

    rest.expect("PART=", detail(4));
    const std::string_view part = rest.upTo(',', detail(5));
    if (!isAllDigits(part)) rest.refuse(detail(6));
    st.groupPart.back() = digitsValue(part);
    rest.cut(part);

    rest.expect("INSTR=", detail(7));
    const std::string_view instr = rest.upTo('/', detail(8));
    st.groupInstr.back() = std::string(instr);
    rest.cut(instr);
  }
}

}  // namespace app
