// Finds the program's message boxes and main window in the running window session, prints what
// they show and answers them, one step after another. Runs beside the program, which must be in
// the same session (under wine: the same WINEPREFIX).
//
//   wclose STEP...
//     box=ok|yes|no  waits for a message box captioned "Quillbraid", prints
//                      box buttons=<ids> form=<absent|hidden|visible> text=<text>
//                    (CR and LF in the text written as \r and \n), presses the button and waits
//                    until the box has gone
//     form=close     waits until the window "Form1" is visible, prints
//                      form client=<width>x<height> visible=1
//                    closes it and waits until it has gone
//     form=check     prints the same line for the window as it is now, or "form absent"
//     wait=box       waits for a message box to be shown and leaves it waiting
//     delete=PATH    deletes a file: with wait=box before it, a step of the program that comes
//                    after the box then fails
// A wait gives up after 30 s (exit status 2); a box without the button asked for gives 3.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// shellapi.h needs the declarations of windows.h.
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kWaitMs = 30000;
constexpr DWORD kPollMs = 20;
constexpr int kTextId = 0xFFFF;  // the message box's text control

std::string utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
  return out;
}

void say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

template <class Found>
bool waitUntil(Found found) {
  for (DWORD waited = 0; waited < kWaitMs; waited += kPollMs) {
    if (found()) return true;
    Sleep(kPollMs);
  }
  return found();
}

HWND findBox() { return FindWindowW(L"#32770", L"Quillbraid"); }
HWND findForm() { return FindWindowW(L"Form1", L"Form1"); }

std::string formLine(HWND form) {
  RECT client{};
  GetClientRect(form, &client);
  return "form client=" + std::to_string(client.right - client.left) + "x" +
         std::to_string(client.bottom - client.top) +
         " visible=" + (IsWindowVisible(form) ? "1" : "0");
}

std::vector<std::pair<int, HWND>> visibleButtons(HWND box) {
  std::vector<std::pair<int, HWND>> buttons;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM param) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(child, name, 16);
        if (lstrcmpiW(name, L"Button") == 0 && IsWindowVisible(child)) {
          reinterpret_cast<std::vector<std::pair<int, HWND>>*>(param)->emplace_back(
              GetDlgCtrlID(child), child);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&buttons));
  std::sort(buttons.begin(), buttons.end());
  return buttons;
}

std::string escaped(std::wstring_view text) {
  std::string out;
  for (char c : utf8(text)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The box fills in its text and buttons before it becomes visible.
HWND waitForBox() {
  HWND box = nullptr;
  if (!waitUntil([&] { return (box = findBox()) != nullptr && IsWindowVisible(box); })) {
    say("timeout waiting for a message box");
    return nullptr;
  }
  return box;
}

int answerBox(std::string_view answer) {
  const int id = answer == "ok" ? IDOK : answer == "yes" ? IDYES : answer == "no" ? IDNO : 0;
  const HWND box = waitForBox();
  if (box == nullptr) return 2;
  const HWND form = findForm();
  const std::string formState = form == nullptr         ? "absent"
                                : IsWindowVisible(form) ? "visible"
                                                        : "hidden";
  wchar_t text[4096] = {};
  GetDlgItemTextW(box, kTextId, text, 4096);
  const auto buttons = visibleButtons(box);
  std::string ids;
  HWND press = nullptr;
  for (const auto& [buttonId, button] : buttons) {
    if (!ids.empty()) ids += ",";
    ids += std::to_string(buttonId);
    if (buttonId == id) press = button;
  }
  say("box buttons=" + ids + " form=" + formState + " text=" + escaped(text));
  if (press == nullptr) {
    say("no button for " + std::string(answer));
    return 3;
  }
  PostMessageW(press, BM_CLICK, 0, 0);
  if (!waitUntil([&] { return !IsWindow(box); })) {
    say("timeout waiting for the box to close");
    return 2;
  }
  return 0;
}

int closeForm() {
  HWND form = nullptr;
  if (!waitUntil([&] { return (form = findForm()) != nullptr && IsWindowVisible(form); })) {
    say(form == nullptr ? "timeout waiting for Form1" : "timeout: " + formLine(form));
    return 2;
  }
  say(formLine(form));
  PostMessageW(form, WM_CLOSE, 0, 0);
  if (!waitUntil([&] { return !IsWindow(form); })) {
    say("timeout waiting for Form1 to close");
    return 2;
  }
  return 0;
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);
  // The wide command line: the narrow argv of the C runtime loses what the code page cannot hold.
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    const std::string text = utf8(argv[i]);
    const std::string_view step = text;
    int status = 0;
    if (step.starts_with("box=")) {
      status = answerBox(step.substr(4));
    } else if (step == "wait=box") {
      status = waitForBox() == nullptr ? 2 : 0;
    } else if (step == "form=close") {
      status = closeForm();
    } else if (step == "form=check") {
      const HWND form = findForm();
      say(form == nullptr ? "form absent" : formLine(form));
    } else if (step.starts_with("delete=")) {
      if (!DeleteFileW(wide(step.substr(7)).c_str())) say("cannot delete " + std::string(step));
    } else {
      say("unknown step " + std::string(step));
      status = 125;
    }
    if (status != 0) return status;
  }
  return 0;
}
