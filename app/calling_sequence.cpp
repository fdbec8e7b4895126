#include "app/calling_sequence.h"

#include <cstdint>
#include <string>

#include "base/checked.h"
#include "base/text.h"

namespace app {
namespace {

constexpr std::string_view kPrefix = "CALLEDBY=ORVANTIDE,";

class Remainder {
 public:
  Remainder(run::Context& ctx, std::string_view whole) : ctx_(ctx), whole_(whole), rest_(whole) {}

  [[noreturn]] void refuse(std::string_view literal) const {
    std::string text(literal);
    text += "\r\n";
    text += whole_;
    run::reportAndEnd(ctx_, text);
  }

  // Cuts `literal` off the front, or refuses with `message`.
  void expect(std::string_view literal, std::string_view message) {
    if (!rest_.starts_with(literal)) refuse(message);
    rest_.remove_prefix(literal.size());
  }

  // The text before the first `stop`; refuses with `message` when the remainder holds no `stop`.
  // cut() then takes the text and the `stop` off.
  std::string_view upTo(char stop, std::string_view message) const {
    const auto at = rest_.find(stop);
    if (at == std::string_view::npos) refuse(message);
    return rest_.substr(0, at);
  }
  void cut(std::string_view field) { drop(field.size() + 1); }
  void drop(std::size_t count) { rest_.remove_prefix(count); }

  bool empty() const { return rest_.empty(); }

 private:
  run::Context& ctx_;
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

bool fileExists(run::Context& ctx, std::string_view path) {
  if (path.find("\\\\") != std::string_view::npos) return false;
  const platform::FileNo no = ctx.files.freeFile();
  if (!ctx.files.open(no, path, platform::Mode::TextIn)) return false;
  static_cast<void>(ctx.files.close(no));
  return true;
}

void readCallingSequence(run::Context& ctx, std::string_view argumentString) {
  run::RunState& st = ctx.state;
  st.quoteChar.assign(1, '"');
  st.tabChar.assign(1, '\t');
  Remainder rest(ctx, argumentString);

  // The only refusal shown without the argument string: it is no calling sequence at all.
  if (!argumentString.starts_with(kPrefix)) {
    run::reportAndEnd(ctx, "This program can only be called by Orvantide.");
  }
  rest.drop(kPrefix.size());
  rest.expect("FILE=", "Invalid calling sequence. FILE= missing. ");
  const std::string_view path = rest.upTo('/', "Invalid calling sequence. / missing. ");
  st.inputPath = std::string(path);
  if (!fileExists(ctx, st.inputPath)) rest.refuse("Invalid calling sequence. Unknown file. ");
  rest.cut(path);

  st.groupPart.clear();
  st.groupInstr.clear();
  while (!rest.empty()) {
    // The 16-bit group count, not kept: the tables know their size.
    static_cast<void>(
        base::checkedNarrow<std::int16_t>(static_cast<std::int64_t>(st.groupPart.size()) + 1));
    rest.expect("STAVESUP=", detail(1));
    const std::string_view stavesUp = rest.upTo(',', detail(2));
    if (!base::isAllDigits(stavesUp)) rest.refuse(detail(3));
    // Checked like PART=, but no step of the run reads it.
    static_cast<void>(base::digitsValue16(stavesUp));
    rest.cut(stavesUp);

    rest.expect("PART=", detail(4));
    const std::string_view part = rest.upTo(',', detail(5));
    if (!base::isAllDigits(part)) rest.refuse(detail(6));
    st.groupPart.push_back(base::digitsValue16(part));
    rest.cut(part);

    rest.expect("INSTR=", detail(7));
    const std::string_view instr = rest.upTo('/', detail(8));
    st.groupInstr.emplace_back(instr);
    rest.cut(instr);
  }
}

}  // namespace app
