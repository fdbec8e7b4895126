// The real program under hostile conditions: killed at random moments, a full disk, a line longer
// than the memory it may use, a score larger than that memory. (A second run in a locked folder:
// the golden case folder-locked, and the file-system contract's lock on the system's own files.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

const std::string kArgs = "CALLEDBY=ORVANTIDE,FILE=score.xml/STAVESUP=1,PART=3,INSTR=,2,3,/";

// A fresh working folder holding `score` as score.xml.
struct Folder {
  explicit Folder(const std::string& score) {
    static int count = 0;
    dir = fs::temp_directory_path() /
          ("qb-robust-" + std::to_string(::getpid()) + "-" + std::to_string(++count));
    fs::create_directories(dir);
    std::ofstream(dir / "score.xml", std::ios::binary) << score;
  }
  ~Folder() { fs::remove_all(dir); }
  testsupport::Files files() const { return testsupport::tree(dir); }
  fs::path dir;
};

// The program started in `dir` on `args`, standard input empty, standard error to a file there.
pid_t start(const fs::path& dir, const std::string& args, rlim_t addressSpace = RLIM_INFINITY) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int err = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT, 0644);
    const rlimit limit{addressSpace, addressSpace};
    if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 2) < 0 || ::chdir(dir.c_str()) != 0 ||
        ::setrlimit(RLIMIT_AS, &limit) != 0) {
      ::_exit(126);
    }
    ::execl(QB_PROGRAM, QB_PROGRAM, args.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int finish(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Robustness, KilledAtRandomMomentsTheScoreIsNeverLost) {
  // Large enough that a run lasts some tens of milliseconds, also under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
  const std::string score = testsupport::buildScore(3, 1000);
#else
  const std::string score = testsupport::buildScore(3, 8000);
#endif
  const testsupport::Files before{{"score.xml", score}};
  auto whole = microseconds::max();
  std::string result;
  for (int k = 0; k < 3; ++k) {
    Folder folder(score);
    const auto begin = steady_clock::now();
    ASSERT_EQ(finish(start(folder.dir, kArgs)), 0);
    whole = std::min(whole, duration_cast<microseconds>(steady_clock::now() - begin));
    result = folder.files()["score.xml"];
  }
  std::mt19937_64 random(static_cast<unsigned long long>(whole.count()));
  SCOPED_TRACE("a whole run " + std::to_string(whole.count()) + " us");
  int killed = 0;
  for (int k = 0; k < 120 && killed < 30; ++k) {
    // Half of the moments fall anywhere, half into the last fifth, where the result is put in
    // place.
    const double at = std::uniform_real_distribution<double>(k % 2 == 0 ? 0.0 : 0.8, 1.05)(random);
    Folder folder(score);
    const pid_t pid = start(folder.dir, kArgs);
    std::this_thread::sleep_for(microseconds(static_cast<long long>(at * double(whole.count()))));
    ::kill(pid, SIGKILL);
    if (finish(pid) == -1) {
      ++killed;
    } else {
      // Runs got faster than when they were timed (the machine was busier then): aim earlier.
      whole = whole * 9 / 10;
    }
    EXPECT_EQ(testsupport::scoreSafety(before, folder.files(), "score.xml", result), "")
        << "kill " << k;
  }
  EXPECT_EQ(killed, 30) << "most kills came too late to test anything";
}

// A folder of a size-limited tmpfs, mounted for the test's lifetime.
struct SmallDisk {
  SmallDisk(const fs::path& at, std::size_t bytes) : dir(at) {
    fs::create_directories(dir);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("qb-full-disk", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      why = std::strerror(errno);
    }
  }
  ~SmallDisk() {
    if (why.empty()) ::umount2(dir.c_str(), MNT_DETACH);
  }
  fs::path dir;
  std::string why;  // empty when mounted
};

// The score's folder has room for the score but not for a second copy of it: the result, whole in
// the working folder, cannot be put in place.
TEST(Robustness, OnAFullDiskTheScoreStaysAsItWasWithNoNewBackup) {
  if (testsupport::skippedOnRequest("full-disk")) GTEST_SKIP() << "skipped on request (QB_SKIP)";
  ASSERT_EQ(::geteuid(), 0u) << "mounting a size-limited tmpfs needs root "
                                "(QB_SKIP=full-disk skips this check knowingly)";
  const std::string score = testsupport::buildScore(3, 3000);
  Folder folder("");
  SmallDisk disk(folder.dir / "disk", score.size() * 3 / 2);
  ASSERT_EQ(disk.why, "") << "cannot mount a tmpfs (QB_SKIP=full-disk skips this knowingly)";
  std::ofstream(disk.dir / "score.xml", std::ios::binary) << score;
  EXPECT_EQ(finish(start(folder.dir,
                         "CALLEDBY=ORVANTIDE,FILE=disk\\score.xml/STAVESUP=1,PART=3,INSTR=,2,3,/")),
            1);
  EXPECT_EQ(folder.files()["stderr"], "") << "a finish that fails is not reported";
  const testsupport::Files left = testsupport::tree(disk.dir);
  EXPECT_EQ(testsupport::scoreSafety({{"score.xml", score}}, left, "score.xml", score), "");
  EXPECT_EQ(left.size(), 1u) << "no backup, no temporary file";
}

// The result keeps the score's permission bits, and as root its owner and group too; the files the
// program makes itself never get an execute bit.
TEST(Robustness, TheResultKeepsTheScoresPermissionsAndOwner) {
  const std::string score = testsupport::buildScore(3, 20);
  const auto runOn = [&](unsigned mode, uid_t owner, gid_t group) {
    Folder folder(score);
    const fs::path path = folder.dir / "score.xml";
    ASSERT_EQ(::chown(path.c_str(), owner, group) | ::chmod(path.c_str(), mode), 0);
    EXPECT_EQ(finish(start(folder.dir, kArgs)), 0) << folder.files()["stderr"];
    struct stat result {
    }, output{};
    ASSERT_EQ(
        ::stat(path.c_str(), &result) | ::stat((folder.dir / "QUILLBRAID.XML").c_str(), &output),
        0);
    EXPECT_EQ(result.st_mode & 07777, mode);
    EXPECT_EQ(result.st_uid, owner);
    EXPECT_EQ(result.st_gid, group);
    EXPECT_EQ(output.st_mode & 0111, 0u) << "an execute bit on a file the program made";
  };
  runOn(0600, ::geteuid(), ::getegid());
  if (testsupport::skippedOnRequest("owner")) GTEST_SKIP() << "skipped on request (QB_SKIP)";
  ASSERT_EQ(::geteuid(), 0u) << "giving a score to another user needs root "
                                "(QB_SKIP=owner skips this check knowingly)";
  runOn(0640, 65534, 65534);  // nobody, nogroup
}

// AddressSanitizer reserves far more address space than any limit here would allow, so this one
// runs in the plain build only.
#if !defined(__SANITIZE_ADDRESS__)
TEST(Robustness, MemoryIsBoundedByTheLongestLine) {
  constexpr rlim_t kLimit = 32 << 20;
  const std::string large = testsupport::buildScore(3, 70000);
  ASSERT_GT(large.size(), kLimit + (kLimit >> 2));
  Folder merged(large);
  EXPECT_EQ(finish(start(merged.dir, kArgs, kLimit)), 0) << merged.files()["stderr"];
  EXPECT_EQ(merged.files()["score.xmlorg"], large);

  const std::string longLine = "<?xml?>\r\n<score-partwise>\r\n\t<work-title>" +
                               std::string(kLimit + (kLimit >> 2), 'x') + "</work-title>\r\n";
  Folder refused(longLine);
  EXPECT_EQ(finish(start(refused.dir, kArgs, kLimit)), 1);
  EXPECT_EQ(refused.files()["stderr"], "Quillbraid: Out of memory\n");
  EXPECT_EQ(refused.files()["score.xml"], longLine);
}
#endif

}  // namespace
