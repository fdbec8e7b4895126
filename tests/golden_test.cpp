// Every folder under tests/data/runs is one whole run: the argument string, the answers, the
// working folder before and after, the console records and the exit status (README: Tests).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;
using testsupport::MemoryFileSystem;

const fs::path kRuns = fs::path(QB_SOURCE_DIR) / "tests" / "data" / "runs";

std::string slurp(const fs::path& path, const std::string& otherwise = "") {
  std::ifstream in(path, std::ios::binary);
  if (!in) return otherwise;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spill(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

Files tree(const fs::path& dir) {
  Files files;
  if (!fs::exists(dir)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).generic_string()] = slurp(e.path());
  }
  return files;
}

std::string printable(std::string_view bytes) {
  std::ostringstream out;
  for (unsigned char c : bytes) {
    if (c == '\\')
      out << "\\\\";
    else if (c >= 0x20 && c < 0x7F)
      out << c;
    else
      out << "\\x"
          << "0123456789ABCDEF"[c >> 4] << "0123456789ABCDEF"[c & 15];
  }
  return out.str();
}

void expectSame(const std::string& what, const std::string& got, const std::string& want) {
  if (got == want) return;
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  const std::size_t at = static_cast<std::size_t>(diff.first - got.begin());
  const std::size_t from = at < 40 ? 0 : at - 40;
  ADD_FAILURE() << what << ": first difference at byte " << at << " (got " << got.size()
                << " bytes, expected " << want.size() << ")\n  got:      ..."
                << printable(got.substr(from, 80)) << "\n  expected: ..."
                << printable(want.substr(from, 80));
}

void expectFiles(const Files& got, const Files& want) {
  for (const auto& [name, bytes] : want) {
    const auto it = got.find(name);
    if (it == got.end())
      ADD_FAILURE() << "missing file " << name;
    else
      expectSame(name, it->second, bytes);
  }
  for (const auto& [name, bytes] : got) {
    if (want.count(name) == 0) ADD_FAILURE() << "unexpected file " << name;
  }
}

struct Case {
  explicit Case(const std::string& name) : dir(kRuns / name) {
    args = slurp(dir / "args");
    if (args.ends_with('\n')) args.pop_back();
    answers = slurp(dir / "answers");
    in = tree(dir / "in");
    out = fs::exists(dir / "out") ? tree(dir / "out") : in;
    want.status = std::stoi(slurp(dir / "status", "0"));
    want.records = slurp(dir / "records");
    want.codes = slurp(dir / "codes");
    if (want.codes.ends_with('\n')) want.codes.pop_back();
    std::istringstream blockList(slurp(dir / "blocks", "1 7 262144"));
    for (std::size_t b; blockList >> b;) blocks.push_back(b);
  }
  // The case's failures injected into `mfs`: lines of "Op path [nth [code]]".
  void injectFailures(MemoryFileSystem& mfs) const {
    std::istringstream lines(slurp(dir / "fail"));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string op, path;
      int nth = 0, code = 5;
      words >> op >> path >> nth >> code;
      const auto* names = MemoryFileSystem::kOpNames;
      const auto found = std::find(names, names + std::size(MemoryFileSystem::kOpNames), op);
      ASSERT_NE(found, names + std::size(MemoryFileSystem::kOpNames)) << op;
      mfs.failOn(static_cast<MemoryFileSystem::Op>(found - names), path, nth, code);
    }
  }
  // Writes what a run did as the case's expectation (QB_RECORD=1): to be read before it is kept.
  void record(const Files& after, const testsupport::Outcome& got) const {
    fs::remove_all(dir / "out");
    if (after != in) {
      for (const auto& [name, bytes] : after) spill(dir / "out" / name, bytes);
    }
    const auto keep = [&](const char* name, const std::string& text, bool needed) {
      if (needed)
        spill(dir / name, text);
      else
        fs::remove(dir / name);
    };
    keep("status", std::to_string(got.status) + "\n", got.status != 0);
    keep("records", got.records, !got.records.empty());
    keep("codes", got.codes + "\n", !got.codes.empty());
  }

  fs::path dir;
  std::string args, answers;
  Files in, out;
  testsupport::Outcome want;
  std::vector<std::size_t> blocks;
};

// The cases, or those whose folder holds the file `marker`.
std::vector<std::string> caseNames(const char* marker = nullptr) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(kRuns)) {
    if (marker == nullptr || fs::exists(e.path() / marker)) {
      names.push_back(e.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

class InMemory : public testing::TestWithParam<std::string> {};
class Binary : public testing::TestWithParam<std::string> {};
class FaultSweep : public testing::TestWithParam<std::string> {};

TEST_P(InMemory, Run) {
  const Case c(GetParam());
  for (std::size_t block : c.blocks) {
    SCOPED_TRACE("block size " + std::to_string(block));
    MemoryFileSystem mfs;
    mfs.files = c.in;
    c.injectFailures(mfs);
    const testsupport::Outcome got = testsupport::runInMemory(mfs, c.args, c.answers, block);
    if (std::getenv("QB_RECORD") != nullptr) return c.record(mfs.files, got);
    EXPECT_EQ(got.status, c.want.status);
    expectSame("records", got.records, c.want.records);
    expectSame("box codes", got.codes, c.want.codes);
    expectFiles(mfs.files, c.out);
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
  for (const auto& [name, bytes] : c.in) spill(root / "work" / name, bytes);
  fs::create_directories(root / "work");
  spill(root / "answers", c.answers);
  const char* program = std::getenv("QB_PROGRAM");
  const char* launcher = std::getenv("QB_LAUNCHER");
  const std::string command = "cd " + quoted((root / "work").string()) + " && timeout 120 " +
                              (launcher != nullptr ? launcher : "") + " " +
                              quoted(program != nullptr ? program : QB_PROGRAM) + " " +
                              quoted(c.args) + " <../answers >../stdout 2>../stderr";
  const int wait = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(wait));
  EXPECT_EQ(WEXITSTATUS(wait), c.want.status);
  expectSame("records", slurp(root / "stderr"), c.want.records);
  expectSame("standard output", slurp(root / "stdout"), "");
  expectFiles(tree(root / "work"), c.out);
  fs::remove_all(root);
}

// The case again with each file operation of its run failing in turn (cases marked `sweep`):
// the score stays safe, a run that succeeds gives the same result, and a run that fails says
// so, unless it failed only when putting the complete result in place.
TEST_P(FaultSweep, EveryFailingOperation) {
  const Case c(GetParam());
  for (std::size_t block : {std::size_t{512}, platform::FileTable::kBlockSize}) {
    MemoryFileSystem clean;
    clean.files = c.in;
    ASSERT_EQ(testsupport::runInMemory(clean, c.args, c.answers, block).status, 0);
    const std::string input =
        c.args.substr(c.args.find("FILE=") + 5, c.args.find('/') - 5 - c.args.find("FILE="));
    const std::string original = c.in.at(input), result = clean.files.at(input);
    std::size_t outputDone = 0;
    for (std::size_t n = 1; n <= clean.log.size(); ++n) {
      if (clean.log[n - 1] == std::pair(MemoryFileSystem::Op::Close, std::string("QUILLBRAID.XML")))
        outputDone = n;
    }
    for (std::size_t n = 1; n <= clean.log.size(); ++n) {
      SCOPED_TRACE("block size " + std::to_string(block) + ", failing operation " +
                   std::to_string(n) + ": " +
                   MemoryFileSystem::kOpNames[static_cast<int>(clean.log[n - 1].first)] + " " +
                   clean.log[n - 1].second);
      MemoryFileSystem mfs;
      mfs.files = c.in;
      mfs.failOperation(static_cast<std::int64_t>(n));
      const testsupport::Outcome got = testsupport::runInMemory(mfs, c.args, c.answers, block);
      EXPECT_EQ(testsupport::scoreSafety(mfs.files, input, original), "");
      if (got.status == 0) {
        EXPECT_TRUE(mfs.files[input] == result) << "a different result";
        EXPECT_TRUE(mfs.files[input + "org"] == original);
      } else if (got.records.empty()) {
        EXPECT_GT(n, outputDone) << "a silent ending before the result was complete";
      }
      if (HasFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Golden, InMemory, testing::ValuesIn(caseNames()), testName);
INSTANTIATE_TEST_SUITE_P(Golden, Binary, testing::ValuesIn(caseNames("binary")), testName);
INSTANTIATE_TEST_SUITE_P(Golden, FaultSweep, testing::ValuesIn(caseNames("sweep")), testName);

}  // namespace
