#include "app/start_up.h"
#include "platform/real_platform.h"
#include "run/context.h"

int main(int argc, char** argv) {
  platform::RealPlatform real = platform::makeRealPlatform();
  run::Context ctx(*real.fileSystem, *real.dialogs, *real.process);
  return app::runProgram(ctx, platform::commandLine(argc, argv));
}
