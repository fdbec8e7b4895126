#include "tests/support/run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/start_up.h"
#include "platform/console_dialogs.h"
#include "run/context.h"

namespace testsupport {
namespace {

// The console's boxes, with each box's code noted as the records cannot show it.
class NotingDialogs : public platform::ConsoleDialogs {
 public:
  using ConsoleDialogs::ConsoleDialogs;
  int show(std::string_view text, int code) override {
    codes += (codes.empty() ? "" : " ") + std::to_string(code);
    return ConsoleDialogs::show(text, code);
  }
  std::string codes;
};

// The console's process, with an environment of the test's own.
class ScriptedProcess : public platform::ConsoleProcess {
 public:
  ScriptedProcess(std::FILE* answers, const Environment& environment)
      : ConsoleProcess(answers), environment_(environment) {}
  std::string environmentVariable(std::string_view name) const override {
    const auto it = environment_.find(std::string(name));
    return it == environment_.end() ? "" : it->second;
  }

 private:
  const Environment& environment_;
};

}  // namespace

Outcome runInMemory(MemoryFileSystem& fs, std::string_view args, std::string_view answers,
                    std::size_t blockSize, const Environment& environment) {
  std::FILE* in = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::FILE* out = std::tmpfile();
  if (!answers.empty()) std::fwrite(answers.data(), 1, answers.size(), in);
  std::rewind(in);
  NotingDialogs dialogs(err, in, out);
  ScriptedProcess process(in, environment);
  Outcome outcome;
  try {
    run::Context ctx(fs, dialogs, process, blockSize);
    outcome.status = app::runProgram(ctx, args);
  } catch (const MemoryFileSystem::Crash&) {
    outcome.status = kKilled;
  }
  outcome.codes = dialogs.codes;
  for (auto [stream, text] : {std::pair{err, &outcome.records}, {out, &outcome.output}}) {
    text->resize(static_cast<std::size_t>(std::ftell(stream)));
    std::rewind(stream);
    text->resize(std::fread(text->data(), 1, text->size(), stream));
    std::fclose(stream);
  }
  std::fclose(in);
  return outcome;
}

std::string scoreSafety(const Files& before, const Files& now, const std::string& path,
                        const std::string& result) {
  const auto at = [](const Files& files, const std::string& name) {
    const auto it = files.find(name);
    return it == files.end() ? nullptr : &it->second;
  };
  const std::string backup = path + "org";
  const std::string* earlier = at(before, backup);
  const std::string* input = at(now, path);
  const std::string* kept = at(now, backup);
  if (earlier != nullptr && (kept == nullptr || *kept != *earlier)) {
    return "the earlier backup is gone or changed";
  }
  if (input == nullptr) return "the score's path is empty";
  if (*input == before.at(path)) return "";
  if (*input != result) return "the score's path holds neither the original nor the result";
  if (kept == nullptr || (*kept != before.at(path) && earlier == nullptr)) {
    return "the result is in place, but no backup holds the original";
  }
  return "";
}

std::string soundEnding(const Files& before, const MemoryFileSystem& fs, const Outcome& run,
                        const std::string& path, const std::string& result, std::size_t failed) {
  std::size_t outputOpen = 0, outputDone = 0;
  for (std::size_t n = fs.log.size(); n >= 1; --n) {
    const auto& [op, name] = fs.log[n - 1];
    if (name != "QUILLBRAID.XML") continue;
    if (op == MemoryFileSystem::Op::Open) outputOpen = n;
    if (op == MemoryFileSystem::Op::Close && outputDone == 0) outputDone = n;
  }
  const Files now = fs.files();
  const auto own = now.find("QUILLBRAID.XML");
  const std::string& placed = run.status != 0 ? before.at(path)
                              : failed != 0 && failed < outputOpen && own != now.end() ? own->second
                                                                                       : result;
  if (std::string why = scoreSafety(before, now, path, placed); !why.empty()) return why;
  if (run.status == 0) {
    const auto input = now.find(path);
    return now.count(path + "org") != 0 && input != now.end() && input->second == placed
               ? ""
               : "a success without the result in place";
  }
  const bool silentAllowed = outputDone != 0 && failed > outputDone;
  return run.records.empty() && !silentAllowed ? "a silent ending before the result was whole" : "";
}

std::string buildScore(int parts, int measures) {
  std::string s = "<?xml version=\"1.0\"?>\r\n<score-partwise>\r\n\t<part-list>\r\n";
  for (int p = 1; p <= parts; ++p) {
    s += "\t\t<score-part id=\"P" + std::to_string(p) + "\">\r\n\t\t</score-part>\r\n";
  }
  s += "\t</part-list>\r\n";
  const auto note = [](char voice) {
    return "\t\t\t<note>\r\n\t\t\t\t<rest/>\r\n\t\t\t\t<duration>2</duration>\r\n\t\t\t\t<voice>" +
           std::string(1, voice) + "</voice>\r\n\t\t\t</note>\r\n";
  };
  const std::string backup =
      "\t\t\t<backup>\r\n\t\t\t\t<duration>2</duration>\r\n\t\t\t</backup>\r\n";
  for (int p = 1; p <= parts; ++p) {
    s += "\r\n\t<part id=\"P" + std::to_string(p) + "\">\r\n";
    for (int m = 1; m <= measures; ++m) {
      s += "\t\t<measure number=\"" + std::to_string(m) + "\">\r\n" +
           (m == 1 ? "\t\t\t<attributes>\r\n\t\t\t\t<time>\r\n\t\t\t\t</time>\r\n\t\t\t\t<clef>\r\n"
                     "\t\t\t\t</clef>\r\n\t\t\t</attributes>\r\n"
                   : "") +
           note('1') + backup + note('2') + "\t\t</measure>\r\n";
    }
    s += "\t</part>\r\n";
  }
  return s + "</score-partwise>\r\n";
}

bool skippedOnRequest(const std::string& check) {
  const char* skips = std::getenv("QB_SKIP");
  return skips != nullptr &&
         (" " + std::string(skips) + " ").find(" " + check + " ") != std::string::npos;
}

std::string slurp(const std::filesystem::path& path, const std::string& otherwise) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : otherwise;
}

Files tree(const std::filesystem::path& dir) {
  Files files;
  std::error_code none;  // a folder that does not exist holds no files
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir, none)) {
    if (e.is_regular_file()) files[e.path().lexically_relative(dir).generic_string()] = slurp(e);
  }
  return files;
}

}  // namespace testsupport
