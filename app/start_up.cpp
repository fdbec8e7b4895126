#include "app/start_up.h"

#include <new>

#include "app/calling_sequence.h"
#include "app/score_pass.h"

namespace app {

void startUp(run::Context& ctx, std::string_view argumentString) {
  ctx.state.validOutput = ctx.process.environmentVariable("QUILLBRAID_OUTPUT") == "valid";
  readCallingSequence(ctx, argumentString);
  scorePass(ctx);
}

int runProgram(run::Context& ctx, std::string_view argumentString) {
  int status = 1;
  try {
    startUp(ctx, argumentString);
    // Only the two open failures come back here: the empty main window then keeps the program
    // alive until the user closes it.
    ctx.process.showMainWindowUntilClosed();
  } catch (const platform::RunEnded& end) {
    status = end.exitStatus;
  } catch (const base::ArithmeticOverflow&) {
    static_cast<void>(ctx.dialogs.show("Overflow", platform::kBoxStop));
  } catch (const std::bad_alloc&) {
    static_cast<void>(ctx.dialogs.show("Out of memory", platform::kBoxStop));
  }
  ctx.files.closeAll();
  return status;
}

}  // namespace app
