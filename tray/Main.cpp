// Entry of qdrlgui: the single-instance guard, the start-up sequence, the main message
// loop and the ordered shutdown.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "Decisions.h"
#include "DlgParent.h"
#include "MessageLoop.h"
#include "Messages.h"
#include "ProcessState.h"
#include "Registry.h"
#include "TrayWindow.h"
#include "VersionInfo.h"
#include "crash/CrashReporter.h"
#include "res/resource.h"
#include "update/BlockingSocket.h"
#include "update/ErrorText.h"
#include "update/TlsLibrary.h"
#include "update/UpdateCheck.h"

namespace qdrl {
namespace {

// Runs during static initialisation, before the entry function: a second instance
// asks the running one to show its already-running notice and ends with exit code 1.
bool GuardSingleInstance() {
  // Held until the process ends; never released explicitly.
  CreateMutexW(nullptr, FALSE, L"Quadrel_Owner_Mutex");
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    if (HWND running = FindWindowW(kTrayWindowClass.data(), nullptr)) {
      PostMessageW(running, WM_TRAY_NOTICE, NOTICE_ALREADY_RUNNING, 0);
    }
    ExitThread(1);
  }
  auto& notices = Process().notices;
  notices.serviceNotRunning = LoadText(IDS_SERVICE_NOT_RUNNING);
  notices.removableMedia = LoadText(IDS_REMOVABLE_MEDIA_NOTICE);
  notices.alreadyRunningText = LoadText(IDS_ALREADY_RUNNING_TEXT);
  notices.alreadyRunningTitle = LoadText(IDS_ALREADY_RUNNING_TITLE);
  notices.updateAvailableText = LoadText(IDS_UPDATE_AVAILABLE_TEXT);
  notices.updateAvailableTitle = LoadText(IDS_UPDATE_AVAILABLE_TITLE);
  return true;
}

[[maybe_unused]] const bool g_singleInstance = GuardSingleInstance();

// A start-up failure with a message: no owner, the system's default caption, the
// error icon, then exit code 1.
[[noreturn]] void FailStartup(UINT textId) {
  MessageBoxW(nullptr, LoadText(textId).c_str(), nullptr, MB_OK | MB_ICONERROR);
  ExitProcess(1);
}

bool StartWindowsSockets() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
  if (data.wVersion == MAKEWORD(1, 1)) return true;
  WSACleanup();
  return false;
}

// Only records whether the system has integrity labels; nothing else uses it.
bool PrepareAuthorization() {
  auto& process = Process();
  process.hasIntegrityLabels = process.os.major > 5;
  if (process.hasIntegrityLabels) {
    HMODULE advapi = LoadLibraryW(L"Advapi32.dll");
    if (advapi == nullptr || GetProcAddress(advapi, "AddMandatoryAce") == nullptr) return false;
  }
  process.authorizationReady = true;
  return true;
}

bool PrepareWindowing() {
  INITCOMMONCONTROLSEX controls{sizeof(controls), 0x8FF};  // Windows 95 and internet classes
  InitCommonControlsEx(&controls);
  auto& process = Process();
  process.handshakeEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  return process.handshakeEvent != nullptr && CDlgParent::RegisterWindowClass(process.instance);
}

void RunFirstRunTestOrUpdateCheck() {
  const auto plan = PlanAfterStartup(MarkStartedOnce(), Process().os);
  if (plan.showRemovableMediaNotice) {
    PostMessageW(Process().trayWindow, WM_COMMAND, ID_SHOW_NOTICES, NOTICE_FLAG_REMOVABLE_MEDIA);
  }
  if (plan.runUpdateCheck) RunStartupUpdateCheck();
}

// How long shutdown waits for abandoned name look-ups before it leaves Windows Sockets
// to the end of the process instead of cleaning it up under them.
constexpr std::chrono::milliseconds kLookupWaitAtShutdown{2000};

void Shutdown() {
  StopDialogParents();
  auto& process = Process();
  CloseHandle(process.handshakeEvent);
  FreeTlsLibrary();
  if (WaitForLookupThreads(kLookupWaitAtShutdown)) WSACleanup();
  // Cleared before it is freed: a crash report from here on makes its own.
  const _locale_t locale = process.crtLocale;
  process.crtLocale = nullptr;
  _free_locale(locale);
  CoUninitialize();
}

int Run(HINSTANCE instance) {
  auto& process = Process();
  process.instance = instance;
  InstallCrashFilter();
  // The shell's calls on this thread (ShellExecuteW among them) expect COM.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  LoadErrorTexts();
  if (!CreateCrtLocale()) FailStartup(IDS_FAILED_CRT_LOCALE);
  ReadOsVersion();
  if (!StartWindowsSockets()) FailStartup(IDS_FAILED_SOCKETS);
  if (!InitTlsLibrary()) FailStartup(IDS_FAILED_SSL);
  if (!PrepareAuthorization()) FailStartup(IDS_FAILED_AUTHORIZATION);
  if (!PrepareWindowing()) EndProcessSilently();
  StartDialogParents();
  if (!ReadOwnVersionInfo()) FailStartup(IDS_FAILED_VERSION_INFO);
  if (!CreateTrayWindow()) EndProcessSilently();
  RunFirstRunTestOrUpdateCheck();
  const int exitCode = RunMessageLoop();
  Shutdown();
  return exitCode;
}

}  // namespace
}  // namespace qdrl

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return qdrl::Run(instance); }
