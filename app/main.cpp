#include "app/context.h"
#include "app/start_up.h"
#include "platform/real_platform.h"

int main(int argc, char** argv) {
  platform::RealPlatform real = platform::makeRealPlatform();
  app::Context ctx(*real.fileSystem, *real.dialogs, *real.process);
  return app::runProgram(ctx, platform::commandLine(argc, argv));
}
