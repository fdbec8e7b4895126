#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

// A fresh folder under the system's temporary folder, removed with its content at the end.
class Workspace {
 public:
  Workspace();
  ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  void put(const std::string& name, const std::string& bytes) const;
  std::string get(const std::string& name) const;
  bool exists(const std::string& name) const;
  // File names in the folder, sorted.
  std::vector<std::string> names() const;

 private:
  std::filesystem::path dir_;
};

struct Outcome {
  int status = -1;      // exit status, or -1 when it had to be killed
  std::string records;  // standard error
  std::string output;   // standard output
};

// Runs the program in `ws` with `argumentString` as its one argument, feeding `answers` on
// standard input (then closing it). The program is $QB_PROGRAM (default: the built one), started
// through $QB_LAUNCHER (words split at blanks) when that is set.
Outcome runProgram(const Workspace& ws, const std::string& argumentString,
                   const std::string& answers = "",
                   std::chrono::seconds timeout = std::chrono::seconds(60));

// Console records as the program writes them: "Quillbraid: " + text + "\n" each.
std::string records(const std::vector<std::string>& texts);

std::string readFile(const std::filesystem::path& path);

}  // namespace e2e
