// Times the line reader and the line writer by themselves on large scores, one per encoding:
//   io_bench [--rounds N] SCORE...
// Each score is read line by line through inputXMLline (the encoding taken from its first bytes),
// then the lines it gave are written through writeXML to a scratch file beside it. Prints the
// median time and MB/s of each, counted on the score's size.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/real_platform.h"
#include "run/context.h"
#include "xmlio/input_open.h"
#include "xmlio/line_reader.h"
#include "xmlio/line_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

run::Encoding encodingOf(const std::string& path) {
  unsigned char bom[2] = {0, 0};
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    if (std::fread(bom, 1, 2, f) != 2) bom[0] = 0;
    std::fclose(f);
  }
  if (bom[0] == 0xFF && bom[1] == 0xFE) return run::Encoding::UTF16LE;
  if (bom[0] == 0xFE && bom[1] == 0xFF) return run::Encoding::UTF16BE;
  return run::Encoding::UTF8;
}

const char* nameOf(run::Encoding e) {
  return e == run::Encoding::UTF16LE   ? "UTF-16LE"
         : e == run::Encoding::UTF16BE ? "UTF-16BE"
                                       : "UTF-8";
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  std::vector<std::string> scores;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      scores.emplace_back(argv[i]);
    }
  }
  if (scores.empty()) {
    std::fprintf(stderr, "usage: io_bench [--rounds N] SCORE...\n");
    return 2;
  }
  platform::RealPlatform real = platform::makeRealPlatform();
  std::printf("| encoding | MB | reader s | reader MB/s | writer s | writer MB/s |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const std::string& path : scores) {
    const double mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
    const run::Encoding encoding = encodingOf(path);
    std::vector<double> readTimes, writeTimes;
    for (int r = 0; r < rounds; ++r) {
      run::Context ctx(*real.fileSystem, *real.dialogs, *real.process);
      ctx.state.inputPath = path;
      ctx.state.encodingName = encoding;
      std::vector<std::string> lines;
      const auto readStart = Clock::now();
      run::Bool16 failed = run::kFalse;
      xmlio::opeFileIn(ctx, failed);
      if (failed != run::kFalse) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
      }
      std::string line;
      std::int32_t perc = 0;
      std::size_t count = 0;
      for (;;) {
        run::Bool16 eofile = run::kFalse;
        xmlio::inputXMLline(ctx, line, eofile, perc);
        if (eofile != run::kFalse) break;
        ++count;
      }
      readTimes.push_back(seconds(readStart));
      static_cast<void>(ctx.files.close(ctx.state.inputFileNo));

      // The writer's input, read again outside the timing.
      run::Bool16 again = run::kFalse;
      xmlio::opeFileIn(ctx, again);
      lines.reserve(count);
      for (;;) {
        run::Bool16 eofile = run::kFalse;
        xmlio::inputXMLline(ctx, line, eofile, perc);
        if (eofile != run::kFalse) break;
        lines.push_back(line);
      }
      static_cast<void>(ctx.files.close(ctx.state.inputFileNo));

      const std::string out = path + ".io_bench.out";
      const auto writeStart = Clock::now();
      ctx.state.outputFileNo = ctx.files.freeFile();
      if (!ctx.files.open(ctx.state.outputFileNo, out, platform::Mode::TextOut)) return 1;
      for (const std::string& l : lines) xmlio::writeXML(ctx, l);
      static_cast<void>(ctx.files.close(ctx.state.outputFileNo));
      writeTimes.push_back(seconds(writeStart));
      std::filesystem::remove(out);
    }
    const double rt = median(readTimes), wt = median(writeTimes);
    std::printf("| %s | %.0f | %.2f | %.0f | %.2f | %.0f |\n", nameOf(encoding), mb, rt, mb / rt,
                wt, mb / wt);
  }
  return 0;
}
