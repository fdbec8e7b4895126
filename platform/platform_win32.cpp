// The wide API throughout: text is converted to UTF-16 at this boundary, never to a code page.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "base/checked.h"
#include "platform/console_dialogs.h"
#include "platform/real_platform.h"

namespace platform {
namespace {

constexpr wchar_t kCaption[] = L"Quillbraid";
constexpr wchar_t kMainWindowName[] = L"Form1";
constexpr int kMainClientWidth = 312;  // at 96 dpi
constexpr int kMainClientHeight = 213;
// ReadFile and WriteFile take 32-bit counts; larger blocks go through in pieces of this size.
constexpr std::size_t kMaxIOChunk = std::size_t{1} << 30;

int intLength(std::size_t size) {
  return base::checkedNarrow<int>(static_cast<std::int64_t>(size));
}

// Text inside the program is UTF-8; the system's wide API takes UTF-16. Invalid UTF-8 becomes
// U+FFFD rather than failing, so a box can always show a line read from a damaged file.
std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), intLength(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), intLength(utf8.size()), wide.data(), n);
  return wide;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), intLength(wide.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), intLength(wide.size()), utf8.data(), n, nullptr,
                      nullptr);
  return utf8;
}

std::string systemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (buffer != nullptr) {
    text = narrow(std::wstring_view(buffer, n));
    LocalFree(buffer);
  }
  // The system's texts end in CR LF, sometimes after a blank; a box adds its own line breaks.
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                           text.back() == '\t')) {
    text.pop_back();
  }
  if (text.empty()) text = "System error " + std::to_string(code);
  return text;
}

// The text the caller passed after the program's name. The name ends at the first blank outside
// quotation marks, as the C runtime reads it; the blanks after it are dropped, all others kept.
std::wstring_view argumentsAfterProgramName(std::wstring_view line) {
  std::size_t i = 0;
  bool quoted = false;
  for (; i < line.size(); ++i) {
    const wchar_t c = line[i];
    if (c == L'"') {
      quoted = !quoted;
    } else if (!quoted && (c == L' ' || c == L'\t')) {
      break;
    }
  }
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  return line.substr(i);
}

class Win32FileSystem;

class Win32File : public File {
 public:
  Win32File(Win32FileSystem& fs, HANDLE handle) : fs_(fs), handle_(handle) {}
  ~Win32File() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  bool readAt(std::uint64_t offset, char* dst, std::size_t size, std::size_t& got) override;
  bool write(const char* src, std::size_t size) override;
  bool tryLock() override;
  bool close() override;

 private:
  bool fail();
  Win32FileSystem& fs_;
  HANDLE handle_;
};

class Win32FileSystem : public FileSystem {
 public:
  bool fail() {
    // GetLastError first: FormatMessageW and anything after it may overwrite it.
    const DWORD code = GetLastError();
    setError(static_cast<int>(code), systemText(code));
    return false;
  }

  std::unique_ptr<File> open(std::string_view path, Access access) override {
    DWORD desired = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (access) {
      case Access::Read:
        break;
      case Access::WriteTruncate:
        desired = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
      case Access::WriteKeep:
        desired = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    }
    // Full sharing, as files behave on POSIX: the input may be read twice at once, and a file
    // left open after a failure does not block its rename or deletion.
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder never opens (ERROR_ACCESS_DENIED).
    const HANDLE handle = CreateFileW(widen(path).c_str(), desired, kShare, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      fail();
      return nullptr;
    }
    return std::make_unique<Win32File>(*this, handle);
  }

  bool length(std::string_view path, std::uint64_t& bytes) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data)) return fail();
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      // The code the system gives when a folder is opened as a file.
      SetLastError(ERROR_ACCESS_DENIED);
      return fail();
    }
    bytes = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return true;
  }

  // Write-through: the rename is on the disk when the call returns, as a folder sync does on POSIX.
  bool rename(std::string_view from, std::string_view to, bool replace) override {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return MoveFileExW(widen(from).c_str(), widen(to).c_str(), flags) || fail();
  }

  bool link(std::string_view from, std::string_view to) override {
    return CreateHardLinkW(widen(to).c_str(), widen(from).c_str(), nullptr) || fail();
  }

  bool copy(std::string_view from, std::string_view to) override {
    return CopyFileW(widen(from).c_str(), widen(to).c_str(), FALSE) || fail();
  }

  bool remove(std::string_view path) override { return DeleteFileW(widen(path).c_str()) || fail(); }

  // The attributes a user sets (read-only, hidden, system, archive, not indexed) go along.
  // A read-only score is one Windows lets no program replace, and its backup link could not be
  // removed again: the finish stops here, before it has changed anything.
  bool copyPermissions(std::string_view from, std::string_view to) override {
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = GetFileAttributesW(widen(from).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail();
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return fail();
    }
    const DWORD kept = attributes & kKept;
    return SetFileAttributesW(widen(to).c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL) ||
           fail();
  }

  bool syncFile(std::string_view path) override {
    const HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return fail();
    const bool ok = FlushFileBuffers(handle) || fail();
    CloseHandle(handle);
    return ok;
  }

  // Renames write through (MOVEFILE_WRITE_THROUGH): there is no folder left to sync.
  bool syncFolderOf(std::string_view) override { return true; }
};

bool Win32File::fail() { return fs_.fail(); }

bool Win32File::readAt(std::uint64_t offset, char* dst, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const std::uint64_t at = offset + got;
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    const auto want = static_cast<DWORD>(std::min(size - got, kMaxIOChunk));
    DWORD n = 0;
    if (!ReadFile(handle_, dst + got, want, &n, &place)) {
      // A positioned read past the end fails with this code instead of returning 0 bytes.
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return fail();
    }
    if (n == 0) break;
    got += n;
  }
  return true;
}

bool Win32File::write(const char* src, std::size_t size) {
  while (size > 0) {
    const auto want = static_cast<DWORD>(std::min(size, kMaxIOChunk));
    DWORD n = 0;
    if (!WriteFile(handle_, src, want, &n, nullptr)) return fail();
    src += n;
    size -= n;
  }
  return true;
}

// Byte-range locks on Windows are mandatory: a lock over the data would make reads and writes
// through other handles fail. One byte far past any real data keeps the lock advisory, as flock
// is on POSIX, while two lockers still exclude each other.
bool Win32File::tryLock() {
  OVERLAPPED place{};
  place.Offset = 0xFFFFFFFEu;
  place.OffsetHigh = 0x7FFFFFFFu;
  return LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &place) ||
         fail();
}

bool Win32File::close() {
  const HANDLE handle = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  return CloseHandle(handle) || fail();
}

class Win32Dialogs : public Dialogs {
 public:
  int show(std::string_view text, int code) override {
    std::wstring wide = widen(text);
    // A NUL byte in a line from the input would cut the box's text short.
    std::replace(wide.begin(), wide.end(), L'\0', L'\uFFFD');
    switch (MessageBoxW(nullptr, wide.c_str(), kCaption, static_cast<UINT>(code))) {
      case IDYES:
        return kAnswerYes;
      case IDNO:
        return kAnswerNo;
      case IDOK:
        return kAnswerOK;
      default:
        // The box could not be shown: a question takes the answer that goes no further.
        return code == kBoxQuestion ? kAnswerNo : kAnswerOK;
    }
  }
  void inform(std::string_view text) override { static_cast<void>(show(text, kBoxInfo)); }
};

// Created hidden when the run starts, as the program's one window; only the return of the
// start-up routine shows it.
HWND createMainWindow() {
  // The window is sized for the screen's real dpi below, so the system must not scale it again.
  SetProcessDPIAware();
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  // No controls and no function: closing it (the default handling of WM_CLOSE destroys the
  // window) is all it does.
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = kMainWindowName;
  if (RegisterClassExW(&windowClass) == 0) return nullptr;

  int dpiX = 96;
  int dpiY = 96;
  if (const HDC screen = GetDC(nullptr)) {
    dpiX = GetDeviceCaps(screen, LOGPIXELSX);
    dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
  RECT frame{0, 0, MulDiv(kMainClientWidth, dpiX, 96), MulDiv(kMainClientHeight, dpiY, 96)};
  AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  return CreateWindowExW(0, kMainWindowName, kMainWindowName, kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                         frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                         instance, nullptr);
}

class Win32Process : public Process {
 public:
  Win32Process() : window_(createMainWindow()) {}
  ~Win32Process() override {
    if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
  }

  void processEvents() override {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // Put back for the outermost loop, which is the one a quit request is meant for.
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  // Without a window (it could not be created) there is nothing for the user to close, so the
  // program ends at once instead of waiting for ever.
  void showMainWindowUntilClosed() override {
    if (window_ == nullptr || !IsWindow(window_)) return;
    ShowWindow(window_, SW_SHOWDEFAULT);
    UpdateWindow(window_);
    MSG msg;
    while (IsWindow(window_) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

 private:
  HWND window_;
};

std::string variable(std::string_view name) {
  const std::wstring wideName = widen(name);
  const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD n = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
  return n < size ? narrow(std::wstring_view(value.data(), n)) : std::string();
}

// A program of the GUI subsystem has no console of its own. Started from a console window with
// nothing redirected, it attaches to that window, so that its messages show there and a question
// reads its answer there; a redirected stream stays where it was sent.
void attachParentConsole() {
  const auto given = [](DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  };
  const bool errorsGiven = given(STD_ERROR_HANDLE), answersGiven = given(STD_INPUT_HANDLE),
             outputGiven = given(STD_OUTPUT_HANDLE);
  if ((errorsGiven && answersGiven && outputGiven) || !AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (!errorsGiven) static_cast<void>(std::freopen("CONOUT$", "w", stderr));
  if (!outputGiven) static_cast<void>(std::freopen("CONOUT$", "w", stdout));
  if (!answersGiven) static_cast<void>(std::freopen("CONIN$", "r", stdin));
}

}  // namespace

std::unique_ptr<FileSystem> makeFileSystem(bool) { return std::make_unique<Win32FileSystem>(); }

std::string Process::environmentVariable(std::string_view name) const { return variable(name); }

RealPlatform makeRealPlatform() {
  // QUILLBRAID_DIALOGS=console: records on standard error and answers from standard input instead
  // of boxes, for a batch of scores run from a script, where a box would stop it at its first
  // message.
  if (variable("QUILLBRAID_DIALOGS") == "console") {
    attachParentConsole();
    // The records must be the same bytes as on POSIX: text mode would add a CR before each LF.
    // A program of the GUI subsystem may have been started without standard handles, and some C
    // runtimes abort on _setmode of a stream that has none.
    if (_fileno(stderr) >= 0) _setmode(_fileno(stderr), _O_BINARY);
    if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
    if (_fileno(stdin) >= 0) _setmode(_fileno(stdin), _O_BINARY);
    return RealPlatform{std::make_unique<Win32FileSystem>(),
                        std::make_unique<ConsoleDialogs>(stderr, stdin, stdout),
                        std::make_unique<ConsoleProcess>(stdin)};
  }
  return RealPlatform{std::make_unique<Win32FileSystem>(), std::make_unique<Win32Dialogs>(),
                      std::make_unique<Win32Process>()};
}

// The system hands over the command line as one text; argv is the C runtime's re-parsing of it,
// which drops quotation marks and runs of blanks that belong to the argument string.
std::string commandLine(int, char**) {
  return narrow(argumentsAfterProgramName(GetCommandLineW()));
}

}  // namespace platform
