// score_split IN OUT: writes IN with its multi-staff parts split into single-staff parts to OUT
// and prints the groups of the calling sequence that merges them back.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "score_tools.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: score_split IN OUT\n";
    return 2;
  }
  // Binary mode: the layout's CR LF must reach the file unchanged on every platform.
  std::ifstream in(argv[1], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    std::cerr << "score_split: cannot read " << argv[1] << "\n";
    return 1;
  }
  testsupport::SplitResult result = testsupport::splitScore(text);
  if (!result.ok()) {
    std::cerr << "score_split: " << argv[1] << ": " << result.error << "\n";
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(result.text.data(), static_cast<std::streamsize>(result.text.size()));
  out.close();
  if (!out) {
    std::cerr << "score_split: cannot write " << argv[2] << "\n";
    return 1;
  }
  std::cout << result.groups << "\n";
  return 0;
}
