// Complete runs in which one file operation fails, for every operation a run makes: each must end
// with the report that belongs to the failing step (or pass it over and succeed), and the user's
// score must never be lost or replaced by a partial file.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/start_up.h"
#include "tests/app/score_text.h"
#include "tests/support/scripted_dialogs.h"

namespace {

using apptest::score;
using Op = testsupport::MemoryFileSystem::Op;
using testsupport::Box;
using testsupport::MemoryFileSystem;
using testsupport::TestRun;

const std::string kOriginalName = "score.xml";
const std::string kBackupName = "score.xmlorg";
const std::string kResultName = "QUILLBRAID.XML";

std::string utf16le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

struct Outcome {
  int status = 0;
  std::vector<Box> boxes;
  bool mainWindow = false;
  MemoryFileSystem fs;
};

Outcome runWithFault(const std::string& input, const std::string& args, std::size_t block,
                     std::int64_t failAt) {
  TestRun run(block);
  run.fs.put(kOriginalName, input);
  run.fs.failOperation(failAt);
  // A question is only asked when a failed read spoiled the probe; No ends the run there.
  run.dialogs.answer(platform::kAnswerNo);
  run.dialogs.answer(platform::kAnswerNo);
  Outcome out;
  out.status = app::runProgram(run.ctx, args);
  out.boxes = run.dialogs.shown();
  out.mainWindow = run.process.mainWindowShown != 0;
  out.fs = run.fs;
  return out;
}

const std::string* find(const MemoryFileSystem& fs, const std::string& name) {
  const auto it = fs.files().find(name);
  return it == fs.files().end() ? nullptr : &it->second;
}

// The original bytes are at inputPath, or in the backup with inputPath holding the complete
// result or nothing.
void expectScoreSafe(const MemoryFileSystem& fs, const std::string& original,
                     const std::string& result) {
  const std::string* input = find(fs, kOriginalName);
  if (input != nullptr && *input == original) return;
  const std::string* backup = find(fs, kBackupName);
  ASSERT_NE(backup, nullptr) << "the original is gone";
  EXPECT_EQ(*backup, original);
  if (input != nullptr) {
    EXPECT_EQ(*input, result) << "inputPath holds a partial result";
  }
}

bool isWorkFile(const std::string& name) { return name.starts_with("QUILLBRAID_"); }

// What a run must show when `failed` is the operation that fails. `before` is the log up to it.
enum class Expect { Success, Report, ProbeSpoiled, InputReadFailed, OpenFailure, Silent };

struct Expectation {
  Expect kind;
  std::string text;  // the report, for Report and OpenFailure
};

Expectation expectationFor(const std::vector<MemoryFileSystem::Operation>& before,
                           const MemoryFileSystem::Operation& failed, const std::string& args,
                           bool utf16) {
  const std::string& path = failed.path;
  int inputOpens = 0, outputOpens = 0, pathOpens = 0;
  for (const auto& o : before) {
    if (o.op == Op::Open) {
      inputOpens += o.path == kOriginalName;
      outputOpens += o.path == kResultName;
      pathOpens += o.path == path;
    }
  }
  const std::string reason = "\r\nSimulated failure 5";
  switch (failed.op) {
    case Op::Open:
      if (path == kOriginalName) {
        if (inputOpens == 0)
          return {Expect::Report, "Invalid calling sequence. Unknown file. \r\n" + args};
        if (inputOpens == 1) return {Expect::Report, "Open error 1 on score.xml"};
        return {Expect::OpenFailure, "Input file open error: score.xml"};
      }
      if (path == kResultName) {
        // Without the lock's own handle the run goes on: creating the output is what must work.
        if (outputOpens == 0) return {Expect::Success, ""};
        return {Expect::OpenFailure, "Output file open error"};
      }
      if (pathOpens == 0) return {Expect::Report, "Failed to open workfile for output: " + path};
      if (path == "QUILLBRAID_NEW.TXT") {
        return pathOpens == 1
                   ? Expectation{Expect::Report, "Failed to open NEW file for input."}
                   : Expectation{Expect::Report, "Failed to open NEW workfile for input." + reason};
      }
      return {Expect::Report, "Failed to open file " + path};
    case Op::Read:
      if (path != kOriginalName) return {Expect::Report, "Failed to read " + path + reason};
      if (inputOpens == 2) return {Expect::ProbeSpoiled, ""};
      // The first read of a UTF-16 input takes its byte-order mark, as part of the opening.
      if (utf16 && before.back().op == Op::Open && before.back().path == kOriginalName) {
        return {Expect::OpenFailure, "Input file open error: score.xml"};
      }
      return {Expect::InputReadFailed, ""};
    case Op::Write:
      return {Expect::Report, "Failed to write " + path + reason};
    case Op::Close:
      // Closing a file that was only read loses nothing; work files are read after being written.
      if (path == kOriginalName || (isWorkFile(path) && pathOpens > 1))
        return {Expect::Success, ""};
      return {Expect::Report, "Failed to write " + path + reason};
    case Op::Lock:
      return {Expect::Report, "Another Quillbraid run is working in this folder. Run aborted"};
    case Op::Length:
      if (path == kOriginalName) return {Expect::OpenFailure, "Input file open error: score.xml"};
      return {Expect::Silent, ""};
    case Op::Rename:
    case Op::Copy:
      return {Expect::Silent, ""};
    case Op::Remove:
      return {Expect::Success, ""};
    case Op::Truncate:
      break;
  }
  ADD_FAILURE() << "no expectation for this operation";
  return {Expect::Success, ""};
}

struct SweepCase {
  const char* name;
  int parts;
  std::string groups;
  bool utf16;
  std::size_t block;
};

TEST(FaultSweep, EveryFailingFileOperationEndsSafely) {
  const SweepCase cases[] = {
      {"group of 2, UTF-8", 3, "STAVESUP=1,PART=3,INSTR=,2,3,/", false, 64 * 1024},
      {"group of 3, UTF-8", 4, "STAVESUP=2,PART=3,INSTR=,1,2,3,/", false, 64 * 1024},
      {"group of 2, UTF-16LE", 3, "STAVESUP=1,PART=3,INSTR=,2,3,/", true, 64 * 1024},
      {"group of 3, UTF-16LE", 4, "STAVESUP=2,PART=3,INSTR=,1,2,3,/", true, 64 * 1024},
      {"group of 3, UTF-8, small blocks", 4, "STAVESUP=2,PART=3,INSTR=,1,2,3,/", false, 512},
      {"group of 2, UTF-16LE, small blocks", 3, "STAVESUP=1,PART=3,INSTR=,2,3,/", true, 512},
  };
  for (const SweepCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string plain = score(c.parts);
    const std::string input = c.utf16 ? utf16le(plain) : plain;
    const std::string args = "CALLEDBY=ORVANTIDE,FILE=score.xml/" + c.groups;

    const Outcome clean = runWithFault(input, args, c.block, 0);
    ASSERT_EQ(clean.status, 0);
    ASSERT_TRUE(clean.boxes.empty());
    const std::string result = clean.fs.get(kOriginalName);
    const std::vector<MemoryFileSystem::Operation> ops = clean.fs.log();
    ASSERT_GT(ops.size(), 30u);

    for (std::size_t n = 1; n <= ops.size(); ++n) {
      const MemoryFileSystem::Operation& failed = ops[n - 1];
      SCOPED_TRACE("operation " + std::to_string(n) + " on " + failed.path + " (kind " +
                   std::to_string(static_cast<int>(failed.op)) + ")");
      const Outcome out = runWithFault(input, args, c.block, static_cast<std::int64_t>(n));
      expectScoreSafe(out.fs, input, result);
      const std::vector<MemoryFileSystem::Operation> before(ops.begin(),
                                                            ops.begin() + static_cast<long>(n - 1));
      const Expectation want = expectationFor(before, failed, args, c.utf16);
      switch (want.kind) {
        case Expect::Success:
          EXPECT_EQ(out.status, 0);
          EXPECT_TRUE(out.boxes.empty());
          EXPECT_EQ(out.fs.get(kOriginalName), result);
          EXPECT_EQ(out.fs.get(kBackupName), input);
          break;
        case Expect::Report:
          EXPECT_EQ(out.status, 1);
          EXPECT_EQ(out.boxes, (std::vector<Box>{{want.text, platform::kBoxStop}}));
          EXPECT_EQ(out.fs.get(kOriginalName), input);
          break;
        case Expect::OpenFailure:
          EXPECT_EQ(out.status, 1);
          EXPECT_EQ(out.boxes, (std::vector<Box>{{want.text, platform::kBoxStop}}));
          EXPECT_TRUE(out.mainWindow);
          EXPECT_EQ(out.fs.get(kOriginalName), input);
          break;
        case Expect::ProbeSpoiled:
          // A byte that cannot be read counts as zero: either detection still succeeds, or the
          // encoding question comes and No ends the run.
          if (out.status == 0) {
            EXPECT_EQ(out.fs.get(kOriginalName), result);
          } else {
            ASSERT_EQ(out.boxes.size(), 1u);
            EXPECT_EQ(out.boxes[0].code, platform::kBoxQuestion);
            EXPECT_TRUE(out.boxes[0].text.starts_with("Invalid encoding."));
            EXPECT_EQ(out.fs.get(kOriginalName), input);
          }
          break;
        case Expect::InputReadFailed:
          EXPECT_EQ(out.status, 1);
          ASSERT_EQ(out.boxes.size(), 2u);
          EXPECT_EQ(out.boxes[0].code, platform::kBoxInfo);
          EXPECT_TRUE(out.boxes[0].text.starts_with("Error 5 during input. Consult support"))
              << out.boxes[0].text;
          EXPECT_EQ(out.boxes[1].code, platform::kBoxStop);
          EXPECT_TRUE(out.boxes[1].text.starts_with("Reached end-of-file before "))
              << out.boxes[1].text;
          EXPECT_EQ(out.fs.get(kOriginalName), input);
          break;
        case Expect::Silent: {
          EXPECT_EQ(out.status, 1);
          EXPECT_TRUE(out.boxes.empty());
          const std::string* backup = find(out.fs, kBackupName);
          if (backup == nullptr) {
            EXPECT_EQ(out.fs.get(kOriginalName), input);
          } else {
            EXPECT_FALSE(out.fs.exists(kOriginalName));
          }
          break;
        }
      }
    }
  }
}

// A backup left by an earlier run is kept and the input overwritten; with no backup at all a
// failed rename must leave the input as it is.
TEST(FaultSweep, FailedBackupRenameReplacesTheInputOnlyWhenABackupExists) {
  const std::string input = score(3);
  const std::string args = "CALLEDBY=ORVANTIDE,FILE=score.xml/STAVESUP=1,PART=3,INSTR=,2,3,/";
  struct Case {
    const char* name;
    bool oldBackup;
    bool failLength;
  };
  for (const Case& c : {Case{"old backup", true, false}, Case{"no backup", false, false},
                        Case{"old backup that cannot be seen", true, true}}) {
    SCOPED_TRACE(c.name);
    TestRun run;
    run.fs.put(kOriginalName, input);
    if (c.oldBackup) run.fs.put(kBackupName, "an earlier run's backup");
    run.fs.failOn(Op::Rename, kOriginalName);
    if (c.failLength) run.fs.failOn(Op::Length, kBackupName);
    const int status = app::runProgram(run.ctx, args);
    EXPECT_TRUE(run.dialogs.shown().empty());
    if (c.oldBackup && !c.failLength) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(run.fs.get(kBackupName), "an earlier run's backup");
      EXPECT_EQ(run.fs.get(kOriginalName), run.fs.get(kResultName));
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_EQ(run.fs.get(kOriginalName), input);
    }
  }
}

}  // namespace
