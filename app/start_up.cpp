#include "app/start_up.h"

#include <new>

#include "app/calling_sequence.h"
#include "app/score_pass.h"

namespace app {

namespace {

constexpr std::string_view kUsage =
    "Usage: quillbraid CALLEDBY=ORVANTIDE,FILE=<score>/[STAVESUP=<n>,PART=<bottom>,INSTR=,<a>,"
    "<b>,.../]...\n"
    "Merges each listed group of single-staff parts of a MusicXML score into one part with\n"
    "several staves, the last member (PART=) being the group's bottom part.\n"
    "Example: quillbraid 'CALLEDBY=ORVANTIDE,FILE=sonatina.xml/STAVESUP=1,PART=3,INSTR=,2,3,/'\n"
    "  merges parts P2 and P3 of sonatina.xml into part P3 with two staves.\n"
    "The result takes the score's place; the score as it was becomes <score>org beside it.\n"
    "Settings: QUILLBRAID_OUTPUT=valid   a result XML readers accept, the same music as its parts\n"
    "          QUILLBRAID_DIALOGS=console   (Windows) messages on standard error, not in boxes\n"
    "Exit status: 0 when the result is in place, 1 otherwise (the score then as it was).\n"
    "Options: --version, --help (-h). More: man quillbraid (on Windows: README.md).";

}  // namespace

void startUp(run::Context& ctx, std::string_view argumentString) {
  // The one answer to a person rather than to the converter, whose strings always begin with
  // CALLEDBY=: the whole argument string must be the option, so nothing else is read as one.
  if (argumentString == "--version") {
    ctx.dialogs.inform("quillbraid " QB_VERSION);
    platform::endRun(0);
  }
  if (argumentString == "--help" || argumentString == "-h") {
    ctx.dialogs.inform(kUsage);
    platform::endRun(0);
  }
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
