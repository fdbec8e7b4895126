#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace e2e {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Workspace::Workspace() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qb-e2e-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

Workspace::~Workspace() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void Workspace::put(const std::string& name, const std::string& bytes) const {
  const auto path = dir_ / name;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Workspace::get(const std::string& name) const { return readFile(dir_ / name); }

bool Workspace::exists(const std::string& name) const {
  return std::filesystem::exists(dir_ / name);
}

std::vector<std::string> Workspace::names() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
    if (entry.is_regular_file()) {
      names.push_back(std::filesystem::relative(entry.path(), dir_).generic_string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string records(const std::vector<std::string>& texts) {
  std::string all;
  for (const auto& t : texts) all += "Quillbraid: " + t + "\n";
  return all;
}

namespace {

std::vector<std::string> commandWords(const std::string& argumentString) {
  std::vector<std::string> words;
  if (const char* launcher = std::getenv("QB_LAUNCHER"); launcher != nullptr && *launcher != 0) {
    std::istringstream in(launcher);
    for (std::string w; in >> w;) words.push_back(w);
  }
  const char* program = std::getenv("QB_PROGRAM");
  words.push_back(program != nullptr && *program != 0 ? program : QB_DEFAULT_PROGRAM);
  words.push_back(argumentString);
  return words;
}

}  // namespace

Outcome runProgram(const Workspace& ws, const std::string& argumentString,
                   const std::string& answers, std::chrono::seconds timeout) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, ws.dir().c_str());

  std::vector<std::string> words = commandWords(argumentString);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) throw std::runtime_error("cannot start " + words.front());

  // The answers are short: one write fits the pipe, and closing it is the end of input.
  if (!answers.empty()) static_cast<void>(::write(in[1], answers.data(), answers.size()));
  ::close(in[1]);

  Outcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&outcome.output, &outcome.records};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[k]->append(buf, static_cast<std::size_t>(n));
      } else {
        ::close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  outcome.status = !killed && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return outcome;
}

}  // namespace e2e
