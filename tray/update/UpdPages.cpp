#include "UpdPages.h"

#include <commctrl.h>
#include <shellapi.h>

#include "../ProcessState.h"
#include "../Registry.h"
#include "../res/resource.h"
#include "ErrorText.h"
#include "HtError.h"
#include "UpdateRules.h"

namespace qdrl {

namespace {

constexpr UINT kTitleText = 395;
constexpr UINT kWelcomeSubtitle = 397;
constexpr UINT kDownloadSubtitle = 398;
constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressPeriodMs = 500;

std::wstring Wide(const std::u16string& text) {
  return {reinterpret_cast<const wchar_t*>(text.data()), text.size()};
}

// The system's text for a Windows error code, inserts left out.
std::wstring SystemMessage(DWORD code) {
  wchar_t text[1024];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, text, static_cast<DWORD>(std::size(text)),
                                      nullptr);
  return TidySystemMessage(std::wstring_view(text, length));
}

std::string UserAgent() {
  const auto& process = Process();
  return FormatUserAgent(reinterpret_cast<const char16_t*>(process.productName.c_str()),
                         process.productVersion, process.os.major, process.os.minor);
}

}  // namespace

CUpdPropertyPageDlg::CUpdPropertyPageDlg(int templateId, const UpdateDescription& update)
    : CPropertyPageDlg(templateId), update_(update), title_(LoadText(kTitleText)) {}

void CUpdPropertyPageDlg::ShowFailure(const std::wstring& reason) const {
  const std::wstring text = LoadText(IDS_UPDATE_FAILED_PREFIX) + reason;
  MessageBoxW(Window(), text.c_str(), Process().productName.c_str(), MB_OK | MB_ICONWARNING);
}

void CUpdPropertyPageDlg::OnUnexpectedFailure() {
  ShowFailure(ErrorText(kErrorNotAvailable));
  Wizard().End(IDCANCEL);
}

CUpdWelcomeDlg::CUpdWelcomeDlg(const UpdateDescription& update)
    : CUpdPropertyPageDlg(IDD_UPDATE_WELCOME, update),
      buttons_{LoadText(IDS_BUTTON_DOWNLOAD), LoadText(IDS_BUTTON_DECIDE_LATER),
               LoadText(IDS_BUTTON_SKIP_UPDATE)},
      subtitle_(LoadText(kWelcomeSubtitle)) {}

void CUpdWelcomeDlg::OnSetActive() {
  wchar_t headline[1024];
  const ProductVersion& version = Update().version;
  wsprintfW(headline, LoadText(IDS_UPDATE_HEADLINE).c_str(), version.major, version.minor,
            version.third);
  SetItemText(IDC_WELCOME_HEADLINE, headline);
  SetItemText(IDC_WELCOME_DESCRIPTION, Wide(Update().description));
  Wizard().FocusFirstButton();
}

void CUpdWelcomeDlg::OnButton(int index) {
  switch (index) {
    case 0: Wizard().ShowPage(1); break;
    case 1: Wizard().End(IDCANCEL); break;
    case 2:
      WriteSkippedUpdate(Update().version);
      Wizard().End(IDCANCEL);
      break;
  }
}

CUpdDownloadDlg::CDownloadThread::CDownloadThread(CUpdDownloadDlg& page)
    : CWorkerThread(&CDownloadThread::Download), page_(page) {}

DWORD CUpdDownloadDlg::CDownloadThread::Download(CWorkerThread* self) {
  static_cast<CDownloadThread*>(self)->page_.Download();
  return 0;
}

CUpdDownloadDlg::CUpdDownloadDlg(const UpdateDescription& update)
    : CUpdPropertyPageDlg(IDD_UPDATE_DOWNLOAD, update),
      get_(update.downloadUrl, &progress_, UserAgent()),
      buttons_{LoadText(IDS_BUTTON_CANCEL)},
      subtitle_(LoadText(kDownloadSubtitle)) {
  progress_.stageStart = GetTickCount();
}

void CUpdDownloadDlg::OnSetActive() {
  Wizard().FocusFirstButton();
  SetItemText(IDC_DOWNLOAD_STATUS, LoadText(IDS_STATUS_DOWNLOADING));
  thread_.Start();
  SetTimer(Window(), kProgressTimer, kProgressPeriodMs, nullptr);
}

// Whatever fails, even outside the client's own errors (memory, the digest's set-up),
// ends as a failed download reported to the page, never past the thread's start.
void CUpdDownloadDlg::Download() {
  try {
    Fetch();
  } catch (...) {
    fetched_ = false;
    finalError_ = kErrorNotAvailable;
  }
  PostMessageW(Window(), WM_DOWNLOAD_DONE, 0, 0);
}

void CUpdDownloadDlg::Fetch() {
  if (!installer_.Create(Wide(Update().installerExtension))) {
    finalError_ = kErrorFileIo;
    return;
  }
  fetched_ = get_.Fetch(installer_.Body());
  finalError_ = get_.FinalError();
}

void CUpdDownloadDlg::OnButton(int index) {
  if (index == 0) CancelDownload();
}

void CUpdDownloadDlg::OnCancel() { CancelDownload(); }

// The thread then ends with an error and the page closes the wizard without a message.
void CUpdDownloadDlg::CancelDownload() {
  if (cancelled_) return;
  cancelled_ = true;
  get_.Abort();
  Wizard().DisableFirstButton();
}

INT_PTR CUpdDownloadDlg::OnMessage(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_TIMER:
      if (wParam == kProgressTimer) UpdateProgressBar();
      return 0;
    case WM_DOWNLOAD_DONE:
      OnDownloadDone();
      return 1;
    case WM_DESTROY:
      OnDestroy();
      return 0;
  }
  return 0;
}

// Read without a lock while the thread writes: every progress field is atomic.
void CUpdDownloadDlg::UpdateProgressBar() const {
  const auto position =
      ProgressPosition(progress_.stage, progress_.status, progress_.total, progress_.received);
  if (position) SendDlgItemMessageW(Window(), IDC_DOWNLOAD_PROGRESS, PBM_SETPOS, *position, 0);
}

void CUpdDownloadDlg::OnDownloadDone() {
  // The thread ends right after posting; once it has, its results are ours to read.
  WaitForSingleObject(thread_.Handle(), INFINITE);
  UpdateProgressBar();
  switch (StepAfterDownload(cancelled_, fetched_)) {
    case DownloadStep::kReportFailure:
      ShowFailure(ErrorText(finalError_));
      break;
    case DownloadStep::kValidateAndRun:
      if (ValidateAndRun()) {
        Wizard().End(IDOK);
        return;
      }
      break;
    case DownloadStep::kClose:
      break;
  }
  Wizard().End(IDCANCEL);
}

bool CUpdDownloadDlg::ValidateAndRun() {
  SetItemText(IDC_DOWNLOAD_STATUS, LoadText(IDS_STATUS_VALIDATING));
  try {
    if (installer_.Digest() != Update().installerChecksum) {
      ShowFailure(LoadText(IDS_CHECKSUM_FAILED));
      return false;
    }
    installer_.HoldForStart();
  } catch (const CDiskFileException& failure) {
    ShowFailure(SystemMessage(failure.Code()));
    return false;
  }
  SetItemText(IDC_DOWNLOAD_STATUS, LoadText(IDS_STATUS_RUNNING_INSTALLER));
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(Window(), L"open", installer_.Path().c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32) {
    ShowFailure(LoadText(IDS_INSTALLER_FAILED));
    return false;
  }
  installerStarted_ = true;
  return true;
}

void CUpdDownloadDlg::OnDestroy() {
  KillTimer(Window(), kProgressTimer);
  if (thread_.Handle() != nullptr) {
    get_.Abort();  // does nothing to a fetch that has ended
    WaitForSingleObject(thread_.Handle(), INFINITE);
  }
  // An installer that failed to arrive, was cancelled or did not match is never run;
  // a started one stays for the installer itself.
  installer_.Release(installerStarted_);
}

}  // namespace qdrl
