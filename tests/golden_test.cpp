// Every folder under tests/data/runs is one whole run: the argument string, the answers, the
// working folder before and after, the console records and the exit status (README: Tests).

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Files;
using testsupport::MemoryFileSystem;
using testsupport::slurp;

const fs::path kRuns = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "runs";

void spill(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string printable(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    out += c >= 0x20 && c < 0x7F && c != '\\'
               ? std::string(1, static_cast<char>(c))
               : std::string{'\\', 'x', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
  }
  return out;
}

// Names the first differing byte and shows the bytes around it.
void expectSame(const std::string& what, const std::string& got, const std::string& want) {
  if (got == want) return;
  const auto at = static_cast<std::size_t>(
      std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
  const std::size_t from = at < 40 ? 0 : at - 40;
  ADD_FAILURE() << what << ": first difference at byte " << at << " of " << got.size()
                << " (expected " << want.size() << ")\n  got:      ..."
                << printable(got.substr(from, 80)) << "\n  expected: ..."
                << printable(want.substr(from, 80));
}

void expectFiles(const Files& got, const Files& want) {
  for (const auto& [name, bytes] : want) {
    EXPECT_EQ(got.count(name), 1u) << "missing " << name;
    if (got.count(name) != 0) expectSame(name, got.at(name), bytes);
  }
  for (const auto& [name, bytes] : got) EXPECT_EQ(want.count(name), 1u) << "unexpected " << name;
}

struct Case {
  explicit Case(const std::string& name) : dir(kRuns / name) {
    args = slurp(dir / "args");
    args.pop_back();  // the file's line feed
    answers = slurp(dir / "answers");
    std::istringstream variables(slurp(dir / "env"));
    for (std::string line; std::getline(variables, line);) {
      environment[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    in = testsupport::tree(dir / "in");
    out = fs::exists(dir / "out") ? testsupport::tree(dir / "out") : in;
    want = {std::stoi(slurp(dir / "status", "0")), slurp(dir / "records"), slurp(dir / "codes"),
            slurp(dir / "stdout")};
    if (!want.codes.empty()) want.codes.pop_back();
    std::istringstream list(slurp(dir / "blocks", "1 7 262144"));
    for (std::size_t b; list >> b;) blocks.push_back(b);
  }
  // The failures of the file `fail`, one a line: "Op path [nth [code]]".
  void injectFailures(MemoryFileSystem& mfs) const {
    std::istringstream lines(slurp(dir / "fail"));
    for (std::string line; std::getline(lines, line);) {
      std::string op, path;
      int nth = 0, code = 5;
      std::istringstream(line) >> op >> path >> nth >> code;
      const auto& names = MemoryFileSystem::kOpNames;
      const auto found = std::find(std::begin(names), std::end(names), op);
      ASSERT_NE(found, std::end(names)) << op;
      mfs.failOn(static_cast<MemoryFileSystem::Op>(found - names), path, nth, code);
    }
  }
  // Keeps what a run did as the case's expectation, to be read before it is committed.
  void record(const Files& after, const testsupport::Outcome& got) const {
    fs::remove_all(dir / "out");
    for (const auto& [name, bytes] : after != in ? after : Files{})
      spill(dir / "out" / name, bytes);
    for (const auto& [name, text] :
         {std::pair{"status", got.status != 0 ? std::to_string(got.status) + "\n" : ""},
          {"records", got.records},
          {"codes", got.codes.empty() ? "" : got.codes + "\n"},
          {"stdout", got.output}}) {
      fs::remove(dir / name);
      if (!text.empty()) spill(dir / name, text);
    }
  }

  fs::path dir;
  std::string args, answers;
  testsupport::Environment environment;  // the file `env`: NAME=VALUE lines
  Files in, out;
  testsupport::Outcome want;
  std::vector<std::size_t> blocks;
};

// The cases, or those whose folder holds the file `marker`.
std::vector<std::string> caseNames(const char* marker = nullptr) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(kRuns)) {
    if (marker == nullptr || fs::exists(e.path() / marker)) names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class InMemory : public testing::TestWithParam<std::string> {};
class Binary : public testing::TestWithParam<std::string> {};
class Sweep : public testing::TestWithParam<std::string> {};

TEST_P(InMemory, Run) {
  const Case c(GetParam());
  for (std::size_t block : c.blocks) {
    SCOPED_TRACE("block size " + std::to_string(block));
    MemoryFileSystem mfs;
    mfs.setFiles(c.in);
    c.injectFailures(mfs);
    const testsupport::Outcome got =
        testsupport::runInMemory(mfs, c.args, c.answers, block, c.environment);
    // Recording replaces the expectation, so it is never a test run's: scripts/record.sh names
    // the one case it records, and every other case fails.
    if (const char* recording = std::getenv("QB_RECORD"); recording != nullptr) {
      ASSERT_EQ(std::string(recording), GetParam()) << "QB_RECORD is set outside scripts/record.sh";
      return c.record(mfs.files(), got);
    }
    EXPECT_EQ(got.status, c.want.status);
    expectSame("records", got.records, c.want.records);
    expectSame("box codes", got.codes, c.want.codes);
    expectSame("standard output", got.output, c.want.output);
    expectFiles(mfs.files(), c.out);
  }
}

std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char ch : text) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return q + "'";
}

// The real program ($QB_PROGRAM, started through $QB_LAUNCHER when set) in a fresh folder.
TEST_P(Binary, Run) {
  const Case c(GetParam());
  const fs::path root = fs::temp_directory_path() / ("qb-golden-" + GetParam());
  fs::remove_all(root);
  fs::create_directories(root / "work");
  for (const auto& [name, bytes] : c.in) spill(root / "work" / name, bytes);
  spill(root / "answers", c.answers);
  const char* program = std::getenv("QB_PROGRAM");
  const char* launcher = std::getenv("QB_LAUNCHER");
  std::string variables;
  for (const auto& [name, value] : c.environment) variables += name + "=" + quoted(value) + " ";
  const int wait = std::system(("cd " + quoted((root / "work").string()) + " && " + variables +
                                "timeout 120 " + (launcher != nullptr ? launcher : "") + " " +
                                quoted(program != nullptr ? program : QB_PROGRAM) + " " +
                                quoted(c.args) + " <../answers >../stdout 2>../stderr")
                                   .c_str());
  EXPECT_EQ(WIFEXITED(wait) ? WEXITSTATUS(wait) : -1, c.want.status);
  expectSame("records", slurp(root / "stderr"), c.want.records);
  expectSame("standard output", slurp(root / "stdout"), c.want.output);
  expectFiles(testsupport::tree(root / "work"), c.out);
  fs::remove_all(root);
}

// The case again with each file operation of its run failing in turn, then with the process
// dying at each one, then with the power cut at each one and after the run (cases marked
// `sweep`). Whatever happens, the score is safe; a failure that leaves the run going still ends it
// soundly; a run that ended well has its result on the disk.
TEST_P(Sweep, EveryFailingOperationEveryKillAndEveryPowerCut) {
  const Case c(GetParam());
  const std::string input = "score.xml";
  ASSERT_EQ(c.in.count(input), 1u) << "a swept case's score is " << input;
  enum class Fault { Fails, Kill, PowerCut };
  const char* kFault[] = {" fails", ": a kill", ": a power cut"};
  for (std::size_t block : {std::size_t{512}, platform::FileTable::kBlockSize}) {
    MemoryFileSystem clean;
    clean.setFiles(c.in);
    const testsupport::Outcome cleanRun =
        testsupport::runInMemory(clean, c.args, c.answers, block, c.environment);
    const std::string result = cleanRun.status == 0 ? clean.files()[input] : c.in.at(input);
    const testsupport::Files disk = clean.afterPowerCut();
    EXPECT_EQ(testsupport::scoreSafety(c.in, disk, input, result), "") << "a power cut after it";
    EXPECT_TRUE(cleanRun.status != 0 || disk.at(input) == result) << "a result not on the disk";
    for (Fault fault : {Fault::Fails, Fault::Kill, Fault::PowerCut}) {
      for (std::size_t n = 1; n <= clean.log.size(); ++n) {
        const auto& [op, path] = clean.log[n - 1];
        SCOPED_TRACE("block size " + std::to_string(block) + ", operation " + std::to_string(n) +
                     " " + MemoryFileSystem::kOpNames[int(op)] + " " + path + kFault[int(fault)]);
        MemoryFileSystem mfs;
        mfs.setFiles(c.in);
        fault == Fault::Fails ? mfs.failOperation(static_cast<std::int64_t>(n))
                              : mfs.crashAt(static_cast<std::int64_t>(n));
        const testsupport::Outcome got =
            testsupport::runInMemory(mfs, c.args, c.answers, block, c.environment);
        EXPECT_EQ(fault == Fault::Fails
                      ? testsupport::soundEnding(c.in, mfs, got, input, result, n)
                      : testsupport::scoreSafety(
                            c.in, fault == Fault::Kill ? mfs.files() : mfs.afterPowerCut(), input,
                            result),
                  "");
        if (fault != Fault::Fails) {
          EXPECT_EQ(got.status, testsupport::kKilled) << "the run outlived its end";
        }
        if (HasFailure()) return;
      }
    }
  }
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Golden, InMemory, testing::ValuesIn(caseNames()), testName);
INSTANTIATE_TEST_SUITE_P(Golden, Binary, testing::ValuesIn(caseNames("binary")), testName);
INSTANTIATE_TEST_SUITE_P(Golden, Sweep, testing::ValuesIn(caseNames("sweep")), testName);

}  // namespace
