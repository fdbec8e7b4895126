// Starts a program with an exact command line and answers its windows, for the tests under wine,
// which would otherwise re-quote arguments that hold blanks.
//
//   gui_check PROGRAM ARGUMENTS [STEP...]
// The command line is "<full path of PROGRAM>" ARGUMENTS; the program gets this process's
// standard handles. Each STEP waits for a window of the program and acts on it:
//   ok|yes|no  the message box "Quillbraid": prints "box BUTTON-IDS: TEXT" (CR, LF as \r, \n)
//              and presses the button
//   close      the main window "Form1": prints "form WIDTHxHEIGHT" and closes it
// Then exits with the program's status; 2 when a wait gave up after 30 s.

#include <windows.h>
// shellapi.h needs the declarations of windows.h.
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

void say(const std::wstring& line) {
  std::string text(line.size() * 3 + 1, '\0');
  text.resize(static_cast<std::size_t>(WideCharToMultiByte(
      CP_UTF8, 0, line.c_str(), -1, text.data(), static_cast<int>(text.size()), nullptr, nullptr)));
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

// Waits up to 30 s for `done`.
template <class Done>
bool await(Done done) {
  for (int waited = 0; !done(); waited += 20, Sleep(20)) {
    if (waited > 30000) return false;
  }
  return true;
}

bool act(const std::wstring& step) {
  const bool box = step != L"close";
  HWND w = nullptr;
  if (!await([&] {
        w = box ? FindWindowW(L"#32770", L"Quillbraid") : FindWindowW(L"Form1", L"Form1");
        return w != nullptr && IsWindowVisible(w);
      })) {
    return false;
  }
  if (!box) {
    RECT client{};
    GetClientRect(w, &client);
    say(L"form " + std::to_wstring(client.right) + L"x" + std::to_wstring(client.bottom));
    PostMessageW(w, WM_CLOSE, 0, 0);
    return await([&] { return !IsWindow(w); });
  }
  std::wstring line = L"box";
  for (int id : {IDOK, IDYES, IDNO}) {
    if (IsWindowVisible(GetDlgItem(w, id))) line += L" " + std::to_wstring(id);
  }
  wchar_t text[4096] = {};
  GetDlgItemTextW(w, 0xFFFF, text, 4096);  // the box's text control
  line += L": ";
  for (const wchar_t* c = text; *c != 0; ++c) {
    line += *c == L'\r' ? L"\\r" : *c == L'\n' ? L"\\n" : std::wstring(1, *c);
  }
  say(line);
  const int id = step == L"yes" ? IDYES : step == L"no" ? IDNO : IDOK;
  PostMessageW(GetDlgItem(w, id), BM_CLICK, 0, 0);
  return await([&] { return !IsWindow(w); });
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) return 125;
  wchar_t program[32768];
  GetFullPathNameW(argv[1], 32768, program, nullptr);
  std::wstring line = L"\"" + std::wstring(program) + L"\" " + argv[2];
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &child)) {
    return 126;
  }
  for (int i = 3; i < argc; ++i) {
    if (!act(argv[i])) {
      TerminateProcess(child.hProcess, 2);
      return 2;
    }
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(child.hProcess, &status);
  return static_cast<int>(status);
}
