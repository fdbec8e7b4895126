// Shows one message box per code given, through the program's real dialogs, and prints each
// answer as "answer <code>=<button>". The text holds a line break and non-ASCII characters, so a
// helper reading the box sees whether both survive the way to the system.
//
//   box_probe CODE...
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/real_platform.h"

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  platform::RealPlatform real = platform::makeRealPlatform();
  for (int i = 1; i < argc; ++i) {
    const int code = std::atoi(argv[i]);
    const std::string text = "Box " + std::to_string(code) + "\r\nZ\xC3\xBCrich \xE2\x9C\x93";
    const int answer = real.dialogs->show(text, code);
    std::printf("answer %d=%d\n", code, answer);
    std::fflush(stdout);
  }
  return 0;
}
