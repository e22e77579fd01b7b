#include "CrashReporter.h"

#include <windows.h>

#include <locale.h>
#include <string.h>

#include <atomic>

#include "CrashSettings.h"
#include "ModuleList.h"
#include "ProcessState.h"
#include "ReportFile.h"
#include "ReportFormat.h"
#include "RuntimeLink.h"
#include "StackWalk.h"
#include "VersionInfo.h"

namespace qdrl {

namespace {

// The export of the upload library: report path, product name, machine identifier.
// Its result means nothing to us.
using UploadCrashReportFunction = BOOL(WINAPI*)(const wchar_t*, const wchar_t*, DWORD);

LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

// The thread writing a report, if any, for the whole process: a fault inside the
// report brings that thread back into the filter, which must then not start another
// report over the first; another thread faulting meanwhile must not run the
// single-threaded stack walk beside it.
std::atomic<DWORD> g_reportingThread{0};
constexpr DWORD kOtherReportPollMs = 50;

enum class ReportOutcome { NotAttempted, Attempted };

// A failure early in start-up comes before the locale exists.
bool EnsureCrtLocale() { return Process().crtLocale != nullptr || CreateCrtLocale(); }

bool EnsureVersionInfo() {
  switch (Process().versionInfoRead) {
    case VersionInfoRead::NotTried:
      return ReadOwnVersionInfo();
    case VersionInfoRead::Succeeded:
      return true;
    case VersionInfoRead::Failed:
      break;
  }
  return false;
}

// The OS version of the process state, read now when start-up has not got that far:
// the system never reports a major version of 0.
ReportOsVersion OsVersion() {
  auto& os = Process().os;
  if (os.major == 0) ReadOsVersion();
  return {os.major, os.minor, os.build, os.platformId, os.servicePack};
}

bool SameModulePath(const std::wstring& a, const std::wstring& b) {
  return _wcsicmp_l(a.c_str(), b.c_str(), Process().crtLocale) == 0;
}

ReportTime UtcNow() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

std::vector<std::wstring> ReportLines(const CrashIdentity& crash,
                                      const std::vector<StackFrame>& frames) {
  std::vector<std::wstring> lines = ReportHeadLines(crash, OsVersion());
  if (const auto modules = ListModules()) {
    lines.emplace_back(kModulesHeading);
    for (const ReportModule& module : *modules) lines.push_back(ModuleLine(module));
  }
  lines.emplace_back(kCallStackHeading);
  lines.emplace_back(kCallStackColumns);
  for (const StackFrame& frame : frames) lines.push_back(FrameLine(frame));
  return lines;
}

// Writes the report, hands it to the upload library and deletes it again. Every
// failing step ends the report silently; `outcome` tells how far it got.
void Report(const EXCEPTION_POINTERS& failure, ReportOutcome& outcome) {
  if (!EnsureCrtLocale() || !EnsureVersionInfo()) return;
  const ProcessState& process = Process();
  if (!CrashReportingSwitchedOn(process.productName)) return;

  const std::vector<StackFrame> frames =
      failure.ContextRecord != nullptr ? WalkStack(*failure.ContextRecord) : std::vector<StackFrame>{};
  CrashIdentity crash;
  crash.crashAddress = ChooseCrashAddress(frames, process.modulePath, SameModulePath);

  outcome = ReportOutcome::Attempted;
  const auto upload = LibraryFunction<UploadCrashReportFunction>(LoadLocalOrSystemLibrary(L"tarnwick.dll"),
                                                                 "UploadCrashReportW");
  if (upload == nullptr) return;

  crash.fileVersion = process.fileVersion;
  crash.recordedFileName = process.recordedFileName;
  crash.fileIdentity = FileIdentity(process.modulePath);
  crash.time = UtcNow();
  crash.machineId = MachineIdentifier();
  crash.exceptionCode =
      failure.ExceptionRecord != nullptr ? failure.ExceptionRecord->ExceptionCode : 0;

  const std::wstring path = ReportDirectory() + ReportFileName(crash);
  if (!WriteReportFile(path, EncodeReport(ReportLines(crash, frames)))) return;
  upload(path.c_str(), process.productName.c_str(), crash.machineId);
  DeleteFileW(path.c_str());
}

// An attempted report ends the process without the system's error dialog; otherwise
// whoever filtered before us decides.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* failure) {
  const DWORD thread = GetCurrentThreadId();
  DWORD reporting = 0;
  if (!g_reportingThread.compare_exchange_strong(reporting, thread)) {
    if (reporting == thread) return EXCEPTION_EXECUTE_HANDLER;
    // Another thread reports; its end ends the process, so this one waits and, should
    // the process live on, ends with it.
    while (g_reportingThread.load() != 0) Sleep(kOtherReportPollMs);
    return EXCEPTION_EXECUTE_HANDLER;
  }
  ReportOutcome outcome = ReportOutcome::NotAttempted;
  try {
    Report(*failure, outcome);
  } catch (...) {
    // Nothing may leave the filter; memory running out ends the report like any
    // other failing step.
  }
  g_reportingThread = 0;
  if (outcome == ReportOutcome::Attempted) return EXCEPTION_EXECUTE_HANDLER;
  return g_previousFilter != nullptr ? g_previousFilter(failure) : EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashFilter() { g_previousFilter = SetUnhandledExceptionFilter(CrashFilter); }

}  // namespace qdrl
