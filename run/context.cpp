#include "run/context.h"

namespace run {

void reportAndEnd(Context& ctx, std::string_view text) {
  static_cast<void>(ctx.dialogs.show(text, platform::kBoxStop));
  platform::endRun(1);
}

void askOrEnd(Context& ctx, std::string_view text) {
  if (ctx.dialogs.show(text, platform::kBoxQuestion) != platform::kAnswerYes) platform::endRun(1);
}

}  // namespace run
