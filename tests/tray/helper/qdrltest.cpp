// qdrltest: the Wine tests' eyes and hands inside the virtual desktop. It finds
// windows by class, posts messages and commands, describes dialogs, holds and releases
// the service's named event, reads what the program wrote to the registry, records the
// addresses the shell opens, starts programs to learn their exit codes, and shows a
// demonstration wizard on the dialog framework. Every wait is bounded. Results go to standard output; the
// exit code is 0 on success, 1 when the thing looked for is not there, 2 on a time-out
// and 3 on a usage error.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "Registry.h"
#include "Service.h"
#include "WizardDemo.h"

namespace {

constexpr int kFound = 0;
constexpr int kMissing = 1;
constexpr int kTimedOut = 2;
constexpr int kUsage = 3;

DWORD Number(const wchar_t* text) { return static_cast<DWORD>(std::wcstoul(text, nullptr, 0)); }

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

// Asks the window itself, since for controls such as edit boxes of another process
// GetWindowTextW only sees the text they were created with.
std::wstring TextOf(HWND window) {
  wchar_t text[1024] = {};
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                           2000, &copied)) {
    GetWindowTextW(window, text, 1024);
  }
  return text;
}

// Top-level windows of a class (hidden ones too), optionally with a given title.
std::vector<HWND> TopLevelWindows(const std::wstring& className, const wchar_t* title = nullptr) {
  struct Search {
    const std::wstring* className;
    const wchar_t* title;
    std::vector<HWND> found;
  } search{&className, title, {}};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        if (ClassOf(window) == *s->className && (s->title == nullptr || TextOf(window) == s->title)) {
          s->found.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Polls every 100 ms until a window of the class (and title) exists or time runs out.
HWND WaitForWindow(const std::wstring& className, const wchar_t* title, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    auto windows = TopLevelWindows(className, title);
    if (!windows.empty()) return windows.front();
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(100);
  }
}

// The exit code of a process, waiting at most timeoutMs; it is ended if it overruns.
int WaitForExit(HANDLE process, DWORD timeoutMs) {
  if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process, 255);
    std::wprintf(L"timeout\n");
    return kTimedOut;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  std::wprintf(L"exit %lu\n", code);
  return kFound;
}

int Find(const std::wstring& className, DWORD timeoutMs) {
  HWND window = WaitForWindow(className, nullptr, timeoutMs);
  if (window == nullptr) return kMissing;
  std::wprintf(L"found %p\n", static_cast<void*>(window));
  return kFound;
}

int Count(const std::wstring& className) {
  std::wprintf(L"%zu\n", TopLevelWindows(className).size());
  return kFound;
}

int Post(const std::wstring& className, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND window = FindWindowW(className.c_str(), nullptr);
  if (window == nullptr) return kMissing;
  return PostMessageW(window, message, wParam, lParam) ? kFound : kMissing;
}

// Sends a message to every top-level window of the class and prints each answer.
int SendToAll(const std::wstring& className, UINT message, WPARAM wParam, LPARAM lParam) {
  auto windows = TopLevelWindows(className);
  for (HWND window : windows) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &answer)) {
      std::wprintf(L"no answer\n");
      return kTimedOut;
    }
    std::wprintf(L"%llu\n", static_cast<unsigned long long>(answer));
  }
  return windows.empty() ? kMissing : kFound;
}

// Posts WM_CLOSE to the window and reports its process's exit code.
int CloseAndWait(const std::wstring& className, DWORD timeoutMs) {
  HWND window = FindWindowW(className.c_str(), nullptr);
  if (window == nullptr) return kMissing;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                               FALSE, processId);
  if (process == nullptr) return kMissing;
  PostMessageW(window, WM_CLOSE, 0, 0);
  const int result = WaitForExit(process, timeoutMs);
  CloseHandle(process);
  return result;
}

int Run(DWORD timeoutMs, const wchar_t* program) {
  std::wstring commandLine = std::wstring(L"\"") + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    std::wprintf(L"cannot start %ls (%lu)\n", program, GetLastError());
    return kMissing;
  }
  CloseHandle(info.hThread);
  const int result = WaitForExit(info.hProcess, timeoutMs);
  CloseHandle(info.hProcess);
  return result;
}

void PrintChildTexts(HWND dialog) {
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM) -> BOOL {
        const std::wstring text = TextOf(child);
        if (!text.empty()) std::wprintf(L"%ls: %ls\n", ClassOf(child).c_str(), text.c_str());
        return TRUE;
      },
      0);
}

// Describes a message box (dialog class "#32770") with the given caption: its texts,
// its owner's class, and whether it has its own taskbar button (WS_EX_APPWINDOW).
int DescribeMessageBox(const wchar_t* caption, DWORD timeoutMs) {
  HWND box = WaitForWindow(L"#32770", caption, timeoutMs);
  if (box == nullptr) return kMissing;
  HWND owner = GetWindow(box, GW_OWNER);
  std::wprintf(L"owner: %ls\n", owner != nullptr ? ClassOf(owner).c_str() : L"none");
  std::wprintf(L"appwindow: %d\n", (GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0);
  PrintChildTexts(box);
  return kFound;
}

// What the close box of a dialog with the given caption does.
int CloseDialog(const wchar_t* caption) {
  auto dialogs = TopLevelWindows(L"#32770", caption);
  for (HWND dialog : dialogs) PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  return dialogs.empty() ? kMissing : kFound;
}

int CountMessageBoxes(const wchar_t* caption) {
  std::wprintf(L"%zu\n", TopLevelWindows(L"#32770", caption).size());
  return kFound;
}

int DismissMessageBoxes(const wchar_t* caption) {
  auto boxes = TopLevelWindows(L"#32770", caption);
  for (HWND box : boxes) PostMessageW(box, WM_COMMAND, IDOK, 0);
  return boxes.empty() ? kMissing : kFound;
}

// Creates the named event the way the service does and holds it until `release-event`
// signals it, or at most timeoutMs.
int HoldEvent(const wchar_t* name, DWORD timeoutMs) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name);
  if (event == nullptr) {
    std::wprintf(L"cannot create %ls (%lu)\n", name, GetLastError());
    return kMissing;
  }
  std::wprintf(L"holding\n");
  std::fflush(stdout);
  const bool released = WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(event);
  return released ? kFound : kTimedOut;
}

int ReleaseEvent(const wchar_t* name) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (event == nullptr) return kMissing;
  SetEvent(event);
  CloseHandle(event);
  return kFound;
}

int ServiceRunning() {
  std::wprintf(L"%d\n", qdrl::IsServiceRunning() ? 1 : 0);
  return kFound;
}

// The bytes of a REG_BINARY value under Software\Quadrel, in hexadecimal.
int ReadBinary(const wchar_t* hive, const wchar_t* name) {
  HKEY root = std::wcscmp(hive, L"HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  BYTE data[64];
  DWORD size = sizeof(data);
  DWORD type = 0;
  if (RegGetValueW(root, L"Software\\Quadrel", name, RRF_RT_ANY, &type, data, &size) !=
      ERROR_SUCCESS) {
    std::wprintf(L"absent\n");
    return kMissing;
  }
  std::wprintf(L"type %lu:", type);
  for (DWORD i = 0; i < size; ++i) std::wprintf(L" %02x", data[i]);
  std::wprintf(L"\n");
  return kFound;
}

int ReadUpdatePath() {
  auto path = qdrl::ReadUpdateDescriptionPath();
  if (!path) {
    std::wprintf(L"absent\n");
    return kMissing;
  }
  std::wprintf(L"%ls\n", path->c_str());
  return kFound;
}

int ReadSkippedUpdate() {
  auto version = qdrl::ReadSkippedUpdate();
  if (!version) {
    std::wprintf(L"absent\n");
    return kMissing;
  }
  std::wprintf(L"%u.%u.%u.%u\n", version->major, version->minor, version->third, version->fourth);
  return kFound;
}

int WriteSkippedUpdate(const wchar_t* text) {
  qdrl::ProductVersion version;
  if (std::swscanf(text, L"%u.%u.%u.%u", &version.major, &version.minor, &version.third,
                   &version.fourth) != 4) {
    return kUsage;
  }
  return qdrl::WriteSkippedUpdate(version) ? kFound : kMissing;
}

// The version resource of a program file: fixed file and product versions, the
// translations, and ProductName and OriginalFilename of the first translation.
int PrintVersionResource(const wchar_t* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  std::vector<BYTE> block(size);
  if (size == 0 || !GetFileVersionInfoW(path, 0, size, block.data())) return kMissing;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) return kMissing;
  std::wprintf(L"file %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
               fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
  std::wprintf(L"product %lu.%lu.%lu.%lu\n", fixed->dwProductVersionMS >> 16,
               fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
               fixed->dwProductVersionLS & 0xFFFF);
  WORD* translations = nullptr;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                      &length) || length < 4) {
    return kMissing;
  }
  for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
    std::wprintf(L"translation %04x %u\n", translations[i], translations[i + 1]);
  }
  for (const wchar_t* name : {L"ProductName", L"OriginalFilename"}) {
    wchar_t query[80];
    std::swprintf(query, 80, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0], translations[1], name);
    wchar_t* value = nullptr;
    if (VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&value), &length)) {
      std::wprintf(L"%ls %ls\n", name, value);
    }
  }
  return kFound;
}

int PrintOsVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
  std::wprintf(L"%lu.%lu.%lu\n", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
  return kFound;
}

void PrintRect(const wchar_t* label, const RECT& rect) {
  std::wprintf(L"%ls %ld %ld %ld %ld\n", label, rect.left, rect.top, rect.right, rect.bottom);
}

// One line per control of a dialog, pages' controls included: identifier, class,
// visible and enabled, screen rectangle, text.
void PrintControls(HWND dialog) {
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM) -> BOOL {
        RECT rect{};
        GetWindowRect(child, &rect);
        std::wprintf(L"control %d %ls visible=%d enabled=%d rect=%ld,%ld,%ld,%ld text=%ls\n",
                     GetDlgCtrlID(child), ClassOf(child).c_str(), IsWindowVisible(child) ? 1 : 0,
                     IsWindowEnabled(child) ? 1 : 0, rect.left, rect.top, rect.right, rect.bottom,
                     TextOf(child).c_str());
        return TRUE;
      },
      0);
}

// Describes a top-level dialog with the given caption: owner, taskbar button, window
// rectangle and the work area it was placed in, the control with the keyboard focus,
// and every control.
int DescribeDialog(const wchar_t* caption, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  HWND dialog = WaitForWindow(L"#32770", caption, timeoutMs);
  // A dialog is shown once it has initialised; describe it only then.
  while (dialog != nullptr && !IsWindowVisible(dialog) && GetTickCount64() < deadline) Sleep(100);
  if (dialog == nullptr || !IsWindowVisible(dialog)) return kMissing;
  HWND owner = GetWindow(dialog, GW_OWNER);
  std::wprintf(L"owner: %ls visible=%d\n", owner != nullptr ? ClassOf(owner).c_str() : L"none",
               owner != nullptr && IsWindowVisible(owner) ? 1 : 0);
  std::wprintf(L"appwindow: %d\n", (GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0);
  RECT rect{};
  GetWindowRect(dialog, &rect);
  PrintRect(L"rect", rect);
  RECT workArea{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
  PrintRect(L"work-area", workArea);
  GUITHREADINFO thread{};
  thread.cbSize = sizeof(thread);
  if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread) && thread.hwndFocus != nullptr) {
    std::wprintf(L"focus: %d\n", GetDlgCtrlID(thread.hwndFocus));
  }
  PrintControls(dialog);
  return kFound;
}

// The centre, in screen coordinates, of the first top-level window of a class (and
// title, unless "-"), or of its control `controlId` when that is not 0.
int Center(const std::wstring& className, const wchar_t* title, int controlId, DWORD timeoutMs) {
  HWND window = WaitForWindow(className, std::wcscmp(title, L"-") == 0 ? nullptr : title, timeoutMs);
  if (window != nullptr && controlId != 0) window = GetDlgItem(window, controlId);
  RECT rect{};
  if (window == nullptr || !GetWindowRect(window, &rect)) return kMissing;
  std::wprintf(L"%ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
  return kFound;
}

// The foreground window's class; for a hidden dialog-parent window also its index in
// the program's table, which follows the order in which start-up created their threads.
int Foreground() {
  HWND foreground = GetForegroundWindow();
  if (foreground == nullptr) {
    std::wprintf(L"none\n");
    return kMissing;
  }
  std::wprintf(L"%ls", ClassOf(foreground).c_str());
  if (ClassOf(foreground) == L"QDRLDP") {
    auto created = [](HWND window) {
      FILETIME creation{}, exit{}, kernel{}, user{};
      HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE,
                                 GetWindowThreadProcessId(window, nullptr));
      if (thread != nullptr) {
        GetThreadTimes(thread, &creation, &exit, &kernel, &user);
        CloseHandle(thread);
      }
      return (static_cast<unsigned long long>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    };
    const auto mine = created(foreground);
    const auto parents = TopLevelWindows(L"QDRLDP");
    const auto earlier = std::count_if(parents.begin(), parents.end(),
                                       [&](HWND other) { return created(other) < mine; });
    std::wprintf(L" %lld", static_cast<long long>(earlier));
  }
  std::wprintf(L"\n");
  return kFound;
}

// Registered as the shell's handler of https addresses: appends the address it was
// asked to open to opened-urls.txt next to the helper.
int RecordUrl(const wchar_t* url) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return kMissing;
  std::wstring file(path, length);
  file = file.substr(0, file.find_last_of(L'\\') + 1) + L"opened-urls.txt";
  FILE* out = _wfopen(file.c_str(), L"a");
  if (out == nullptr) return kMissing;
  std::fwprintf(out, L"%ls\n", url);
  std::fclose(out);
  return kFound;
}

// Takes the icon of a window of the class (id 0) out of the notification area, as a
// re-created taskbar would have lost it.
int DeleteNotifyIcon(const std::wstring& className) {
  HWND window = FindWindowW(className.c_str(), nullptr);
  if (window == nullptr) return kMissing;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = window;
  data.uID = 0;
  return Shell_NotifyIconW(NIM_DELETE, &data) ? kFound : kMissing;
}

int Usage() {
  std::fwprintf(stderr,
                L"usage: qdrltest find CLASS MS | count CLASS | post CLASS MSG WPARAM LPARAM\n"
                L"  | send-all CLASS MSG WPARAM LPARAM\n"
                L"  | close-and-wait CLASS MS | run MS PROGRAM | message-box CAPTION MS\n"
                L"  | count-message-boxes CAPTION | dismiss CAPTION | hold-event NAME MS\n"
                L"  | release-event NAME | service-running | read-binary HKCU|HKLM VALUE\n"
                L"  | read-update-path | read-skipped-update | write-skipped-update A.B.C.D\n"
                L"  | os-version | version-resource PROGRAM | describe-dialog CAPTION MS\n"
                L"  | center CLASS TITLE|- CONTROL MS | foreground | record-url URL\n"
                L"  | delete-icon CLASS | wizard-demo | close-dialog CAPTION\n");
  return kUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  auto is = [&args](const wchar_t* command, std::size_t operands) {
    return args.size() == operands + 1 && args[0] == command;
  };
  if (is(L"find", 2)) return Find(args[1], Number(argv[3]));
  if (is(L"count", 1)) return Count(args[1]);
  if (is(L"post", 4)) return Post(args[1], Number(argv[3]), Number(argv[4]), Number(argv[5]));
  if (is(L"send-all", 4)) return SendToAll(args[1], Number(argv[3]), Number(argv[4]), Number(argv[5]));
  if (is(L"close-and-wait", 2)) return CloseAndWait(args[1], Number(argv[3]));
  if (is(L"run", 2)) return Run(Number(argv[2]), argv[3]);
  if (is(L"message-box", 2)) return DescribeMessageBox(argv[2], Number(argv[3]));
  if (is(L"count-message-boxes", 1)) return CountMessageBoxes(argv[2]);
  if (is(L"dismiss", 1)) return DismissMessageBoxes(argv[2]);
  if (is(L"close-dialog", 1)) return CloseDialog(argv[2]);
  if (is(L"hold-event", 2)) return HoldEvent(argv[2], Number(argv[3]));
  if (is(L"release-event", 1)) return ReleaseEvent(argv[2]);
  if (is(L"service-running", 0)) return ServiceRunning();
  if (is(L"read-binary", 2)) return ReadBinary(argv[2], argv[3]);
  if (is(L"read-update-path", 0)) return ReadUpdatePath();
  if (is(L"read-skipped-update", 0)) return ReadSkippedUpdate();
  if (is(L"write-skipped-update", 1)) return WriteSkippedUpdate(argv[2]);
  if (is(L"os-version", 0)) return PrintOsVersion();
  if (is(L"version-resource", 1)) return PrintVersionResource(argv[2]);
  if (is(L"describe-dialog", 2)) return DescribeDialog(argv[2], Number(argv[3]));
  if (is(L"center", 4)) return Center(args[1], argv[3], static_cast<int>(Number(argv[4])), Number(argv[5]));
  if (is(L"foreground", 0)) return Foreground();
  if (is(L"record-url", 1)) return RecordUrl(argv[2]);
  if (is(L"delete-icon", 1)) return DeleteNotifyIcon(args[1]);
  if (is(L"wizard-demo", 0)) return qdrltest::RunWizardDemo();
  return Usage();
}
