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
  const int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), text.data(), n,
                      nullptr, nullptr);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

// The visible window of `cls` and `title`, waited for; nullptr after 30 s.
HWND await(const wchar_t* cls, const wchar_t* title) {
  for (int waited = 0; waited < 30000; waited += 20, Sleep(20)) {
    const HWND w = FindWindowW(cls, title);
    if (w != nullptr && IsWindowVisible(w)) return w;
  }
  return nullptr;
}

bool answerBox(const std::wstring& answer) {
  const HWND box = await(L"#32770", L"Quillbraid");
  if (box == nullptr) return false;
  const int wanted = answer == L"yes" ? IDYES : answer == L"no" ? IDNO : IDOK;
  std::wstring line = L"box";
  for (int id : {IDOK, IDYES, IDNO}) {
    const HWND button = GetDlgItem(box, id);
    if (button != nullptr && IsWindowVisible(button)) line += L" " + std::to_wstring(id);
  }
  wchar_t text[4096] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 4096);  // the box's text control
  line += L": ";
  for (const wchar_t* c = text; *c != 0; ++c) {
    line += *c == L'\r'   ? std::wstring(L"\\r")
            : *c == L'\n' ? std::wstring(L"\\n")
                          : std::wstring(1, *c);
  }
  say(line);
  PostMessageW(GetDlgItem(box, wanted), BM_CLICK, 0, 0);
  for (int waited = 0; IsWindow(box) && waited < 30000; waited += 20) Sleep(20);
  return !IsWindow(box);
}

bool closeForm() {
  const HWND form = await(L"Form1", L"Form1");
  if (form == nullptr) return false;
  RECT client{};
  GetClientRect(form, &client);
  say(L"form " + std::to_wstring(client.right) + L"x" + std::to_wstring(client.bottom));
  PostMessageW(form, WM_CLOSE, 0, 0);
  return true;
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
  for (HANDLE* h : {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError}) {
    const DWORD which = h == &startup.hStdInput    ? STD_INPUT_HANDLE
                        : h == &startup.hStdOutput ? STD_OUTPUT_HANDLE
                                                   : STD_ERROR_HANDLE;
    *h = GetStdHandle(which);
    SetHandleInformation(*h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &child)) {
    return 126;
  }
  for (int i = 3; i < argc; ++i) {
    if (!(std::wstring(argv[i]) == L"close" ? closeForm() : answerBox(argv[i]))) {
      TerminateProcess(child.hProcess, 2);
      return 2;
    }
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(child.hProcess, &status);
  return static_cast<int>(status);
}
