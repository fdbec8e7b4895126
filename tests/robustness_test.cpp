// The real program under hostile conditions: a line longer than the memory it may use, a score
// larger than that memory, a score of another owner. (A failure, a kill and a power cut at every
// file operation: the golden sweep; a second run in a locked folder: the golden case folder-locked,
// and the file-system contract's lock on the system's own files.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;

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
