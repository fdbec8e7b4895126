// The real program under hostile conditions: a second run in the same folder, SIGKILL at random
// moments, a line longer than the memory it may use, and a score larger than that memory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/score_builder.h"

#if defined(__SANITIZE_ADDRESS__)
#define QB_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QB_UNDER_SANITIZER 1
#endif
#endif

namespace {

using e2e::Workspace;
namespace fs = std::filesystem;

const std::string kArgs = "CALLEDBY=ORVANTIDE,FILE=score.xml/STAVESUP=1,PART=3,INSTR=,2,3,/";

#ifdef QB_UNDER_SANITIZER
constexpr bool kSanitized = true;
// The instrumented program is many times slower; a smaller score keeps the kill test in time.
constexpr int kLargeMeasures = 1000;
#else
constexpr bool kSanitized = false;
constexpr int kLargeMeasures = 10000;
#endif

std::string programPath() {
  const char* program = std::getenv("QB_PROGRAM");
  return program != nullptr && *program != 0 ? program : QB_DEFAULT_PROGRAM;
}

// Killing or limiting a launcher would not reach the program it starts.
bool launched() {
  const char* launcher = std::getenv("QB_LAUNCHER");
  return launcher != nullptr && *launcher != 0;
}

// The program started in `dir` with `args`, standard input empty; standard error is collected.
class Child {
 public:
  Child(const fs::path& dir, const std::string& args, std::uint64_t addressSpaceLimit = 0) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::string program = programPath();
    std::string arg = args;
    const std::string folder = dir.string();
    char* argv[] = {program.data(), arg.data(), nullptr};
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int nothing = ::open("/dev/null", O_RDONLY);
      if (nothing < 0 || ::dup2(nothing, 0) < 0 || ::dup2(err[1], 2) < 0 ||
          ::chdir(folder.c_str()) != 0) {
        ::_exit(126);
      }
      if (addressSpaceLimit != 0) {
        const rlimit limit{addressSpaceLimit, addressSpaceLimit};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(126);
      }
      ::execv(argv[0], argv);
      ::_exit(127);
    }
    ::close(err[1]);
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    if (err_ >= 0) ::close(err_);
  }

  void kill() { ::kill(pid_, SIGKILL); }
  // True when the program has ended by itself (it is then waited for).
  bool ended() {
    if (waited_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    record(status);
    return true;
  }
  // The exit status, or -1 after a signal.
  int wait() {
    if (!waited_) {
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      record(status);
    }
    return status_;
  }
  std::string records() {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(err_, buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
    return text;
  }

 private:
  void record(int status) {
    waited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid_ = -1;
  int err_ = -1;
  bool waited_ = false;
  int status_ = -1;
};

// A score of three parts whose last two merge, about 2.5 KiB per measure of all parts, and the
// result of an uninterrupted run over it.
struct LargeScore {
  std::string original;
  std::string result;
};

std::string largeScore(int measures) {
  return e2e::buildScore({{"1", measures, 2}, {"2", measures, 2}, {"3", measures, 1, true, true}});
}

LargeScore largeScoreAndResult() {
  LargeScore large{largeScore(kLargeMeasures), ""};
  Workspace ws;
  ws.put("score.xml", large.original);
  Child run(ws.dir(), kArgs);
  EXPECT_EQ(run.wait(), 0) << run.records();
  large.result = ws.get("score.xml");
  return large;
}

// The original bytes are at inputPath, or in the backup with inputPath holding the complete
// result or nothing.
void expectScoreSafe(const Workspace& ws, const std::string& original, const std::string& result) {
  if (ws.exists("score.xml") && ws.get("score.xml") == original) return;
  ASSERT_TRUE(ws.exists("score.xmlorg")) << "the original is gone";
  EXPECT_TRUE(ws.get("score.xmlorg") == original) << "the backup is not the original";
  if (ws.exists("score.xml")) {
    EXPECT_TRUE(ws.get("score.xml") == result) << "inputPath holds a partial result";
  }
}

TEST(Robustness, ASecondRunInTheSameFolderReportsAndTouchesNothing) {
  if (launched()) GTEST_SKIP() << "needs the program as a direct child";
  const std::string small = e2e::buildScore({{"1"}, {"2"}, {"3", 2, 1, false, true}});
  const std::string second = "CALLEDBY=ORVANTIDE,FILE=small.xml/STAVESUP=1,PART=3,INSTR=,2,3,/";
  const std::string refusal =
      e2e::records({"Another Quillbraid run is working in this folder. Run aborted"});

  {
    SCOPED_TRACE("the folder held by a run over a large score");
    const LargeScore large = largeScoreAndResult();
    bool overlapped = false;
    // The first run must still hold the folder when the second one looks; on a machine fast
    // enough to finish first, try again.
    for (int attempt = 0; attempt < 3 && !overlapped; ++attempt) {
      Workspace ws;
      ws.put("score.xml", large.original);
      ws.put("small.xml", small);
      Child first(ws.dir(), kArgs);
      // The output has bytes only once the lock is held: it is emptied after the lock is taken.
      const auto written = [&ws] {
        std::error_code ec;
        const auto size = fs::file_size(ws.dir() / "QUILLBRAID.XML", ec);
        return !ec && size > 0;
      };
      while (!written() && !first.ended()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const e2e::Outcome outcome = e2e::runProgram(ws, second);
      if (first.ended()) continue;
      overlapped = true;
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.records, refusal);
      EXPECT_EQ(ws.get("small.xml"), small);
      EXPECT_FALSE(ws.exists("small.xmlorg"));
      EXPECT_EQ(first.wait(), 0) << first.records();
      EXPECT_TRUE(ws.get("score.xmlorg") == large.original);
      EXPECT_TRUE(ws.get("score.xml") == large.result);
      EXPECT_TRUE(ws.get("QUILLBRAID.XML") == large.result);
    }
    EXPECT_TRUE(overlapped) << "the first run always ended before the second began";
  }
  {
    SCOPED_TRACE("the folder held by another process's lock");
    Workspace ws;
    ws.put("small.xml", small);
    ws.put("QUILLBRAID.XML", "an earlier result");
    const int held = ::open((ws.dir() / "QUILLBRAID.XML").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const e2e::Outcome refused = e2e::runProgram(ws, second);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.records, refusal);
    EXPECT_EQ(ws.names(), (std::vector<std::string>{"QUILLBRAID.XML", "small.xml"}));
    EXPECT_EQ(ws.get("QUILLBRAID.XML"), "an earlier result");
    EXPECT_EQ(ws.get("small.xml"), small);
    ::close(held);
    const e2e::Outcome after = e2e::runProgram(ws, second);
    EXPECT_EQ(after.status, 0) << after.records;
    EXPECT_EQ(ws.get("small.xmlorg"), small);
  }
}

TEST(Robustness, KilledAtRandomMomentsTheScoreIsNeverLost) {
  if (launched()) GTEST_SKIP() << "needs the program as a direct child";
  const LargeScore large = largeScoreAndResult();
  const std::string& original = large.original;
  const std::string& result = large.result;
  Workspace master;
  master.put("score.xml", original);

  // How long an uninterrupted run takes sets the range of the kill moments; the fastest of a few
  // runs, since a busy machine only ever makes a run slower.
  auto full = std::chrono::microseconds::max();
  for (int k = 0; k < 3; ++k) {
    Workspace ws;
    fs::create_hard_link(master.dir() / "score.xml", ws.dir() / "score.xml");
    const auto start = std::chrono::steady_clock::now();
    Child run(ws.dir(), kArgs);
    ASSERT_EQ(run.wait(), 0);
    full = std::min(full, std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start));
  }

  const char* seedText = std::getenv("QB_KILL_SEED");
  const auto seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 10)
                                        : static_cast<unsigned long long>(full.count());
  SCOPED_TRACE("QB_KILL_SEED=" + std::to_string(seed) + ", a whole run " +
               std::to_string(full.count() / 1000) + " ms");
  std::mt19937_64 random(seed);
  int completed = 0;
  for (int k = 0; k < 50; ++k) {
    // Half of the moments fall anywhere in the run, half into its last fifth, where the backup
    // and the result are put in place.
    const double from = k % 2 == 0 ? 0.0 : 0.8;
    const double at = std::uniform_real_distribution<double>(from, 1.05)(random);
    const auto delay = std::chrono::microseconds(static_cast<long long>(at * double(full.count())));
    SCOPED_TRACE("kill " + std::to_string(k) + " after " + std::to_string(delay.count()) + " us");
    Workspace ws;
    // The program only renames its input, never writes into it, so a link to one copy will do;
    // the bytes are still compared after every kill.
    fs::create_hard_link(master.dir() / "score.xml", ws.dir() / "score.xml");
    const auto start = std::chrono::steady_clock::now();
    Child run(ws.dir(), kArgs);
    while (std::chrono::steady_clock::now() - start < delay && !run.ended()) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (run.ended()) {
      // Runs have become faster than measured: later moments are drawn from the shorter time.
      ++completed;
      full = std::min(full, std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - start));
    } else {
      run.kill();
      static_cast<void>(run.wait());
    }
    expectScoreSafe(ws, original, result);
    if (HasFailure()) break;
  }
  EXPECT_TRUE(master.get("score.xml") == original);
  EXPECT_LT(completed, 25) << "most kills came too late to test anything";
}

TEST(Robustness, ALineLongerThanTheMemoryAllowedEndsWithOutOfMemory) {
  if (launched()) GTEST_SKIP() << "needs the program as a direct child";
  if (kSanitized) GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
  constexpr std::uint64_t kLimit = std::uint64_t{256} << 20;
  Workspace ws;
  {
    std::ofstream out(ws.dir() / "score.xml", std::ios::binary);
    out << "<?xml version=\"1.0\"?>\r\n<score-partwise>\r\n\t<work-title>";
    const std::string chunk(1 << 20, 'x');
    for (std::uint64_t written = 0; written < kLimit + (kLimit >> 2); written += chunk.size()) {
      out << chunk;
    }
    out << "</work-title>\r\n";
  }
  const auto size = fs::file_size(ws.dir() / "score.xml");
  Child run(ws.dir(), kArgs, kLimit);
  EXPECT_EQ(run.wait(), 1);
  EXPECT_EQ(run.records(), e2e::records({"Out of memory"}));
  EXPECT_EQ(fs::file_size(ws.dir() / "score.xml"), size);
  EXPECT_FALSE(ws.exists("score.xmlorg"));
}

// A score larger than the address space the program may use still goes through: the program
// holds lines, not the score.
TEST(Robustness, AScoreLargerThanTheMemoryAllowedIsMerged) {
  if (launched()) GTEST_SKIP() << "needs the program as a direct child";
  if (kSanitized) GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
  constexpr std::uint64_t kLimit = std::uint64_t{32} << 20;
  Workspace ws;
  ws.put("score.xml", largeScore(2 * kLargeMeasures));
  const auto size = fs::file_size(ws.dir() / "score.xml");
  ASSERT_GT(size, kLimit + (kLimit >> 1));
  Child run(ws.dir(), kArgs, kLimit);
  EXPECT_EQ(run.wait(), 0) << run.records();
  EXPECT_EQ(fs::file_size(ws.dir() / "score.xmlorg"), size);
  EXPECT_TRUE(ws.get("score.xml") == ws.get("QUILLBRAID.XML"));
  EXPECT_GT(fs::file_size(ws.dir() / "score.xml"), size);
}

}  // namespace
