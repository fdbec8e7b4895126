// Starts a program with an exact command line, passes it this process's standard handles and
// returns its exit status. wine rebuilds a program's command line from the arguments it is given
// (quoting those with blanks, one blank between them), so a test that needs the raw text a caller
// passes starts the program through this launcher.
//
//   launch PROGRAM [ARGUMENT...]  command line: "<full path of PROGRAM>" ARGUMENT ARGUMENT ...
//                                 (each argument exactly as given, one blank between them)
//   launch --exact PROGRAM LINE   command line: LINE, as it stands
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// shellapi.h needs the declarations of windows.h.
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::wstring fullPath(const wchar_t* path) {
  wchar_t buffer[32768];
  const DWORD n = GetFullPathNameW(path, 32768, buffer, nullptr);
  if (n == 0 || n >= 32768) return path;
  return std::wstring(buffer, n);
}

HANDLE inheritable(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  return handle;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 2) {
    std::fputs("usage: launch PROGRAM [ARGUMENT...] | launch --exact PROGRAM LINE\n", stderr);
    return 125;
  }
  const bool exact = std::wstring(argv[1]) == L"--exact";
  if (exact && argc != 4) {
    std::fputs("launch: --exact takes PROGRAM and LINE\n", stderr);
    return 125;
  }
  const std::wstring program = fullPath(argv[exact ? 2 : 1]);
  std::wstring line;
  if (exact) {
    line = argv[3];
  } else {
    line = L"\"" + program + L"\"";
    for (int i = 2; i < argc; ++i) line += L" " + std::wstring(argv[i]);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inheritable(STD_INPUT_HANDLE);
  startup.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
  startup.hStdError = inheritable(STD_ERROR_HANDLE);
  // A job that dies with the launcher: when a test's time-out kills it, the program goes too.
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &child)) {
    std::fprintf(stderr, "launch: cannot start the program (error %lu)\n", GetLastError());
    return 126;
  }
  if (job != nullptr) AssignProcessToJobObject(job, child.hProcess);
  ResumeThread(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(child.hProcess, &status);
  return static_cast<int>(status);
}
