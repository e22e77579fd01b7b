#include "About.h"

#include "ProcessState.h"
#include "Service.h"
#include "res/resource.h"

namespace qdrl {

namespace {

// wsprintfW's own rules (%s is a UTF-16 string) are the ones the string table's
// formats are written for; it writes at most 1024 characters.
template <typename... Args>
std::wstring Format(UINT formatId, Args... args) {
  wchar_t text[1025];
  wsprintfW(text, LoadText(formatId).c_str(), args...);
  return text;
}

}  // namespace

CAboutDlg::CAboutDlg(HWND owner) : CModalDlg(IDD_ABOUT, owner) {}

CAboutDlg::~CAboutDlg() {
  if (icon_ != nullptr) DestroyIcon(icon_);
}

INT_PTR CAboutDlg::OnInitDialog() {
  const auto& process = Process();
  const auto& version = process.productVersion;
  SetWindowTextW(Window(), Format(IDS_ABOUT_TITLE, process.productName.c_str()).c_str());
  icon_ = static_cast<HICON>(
      LoadImageW(process.instance, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON, 48, 48, 0));
  if (icon_ != nullptr) {
    SendDlgItemMessageW(Window(), IDC_ABOUT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon_), 0);
  }
  SetItemText(IDC_ABOUT_VERSION,
              Format(IDS_ABOUT_VERSION, process.productName.c_str(), version.major, version.minor,
                     version.third));
  SetItemText(IDC_ABOUT_COPYRIGHT, LoadText(IDS_ABOUT_COPYRIGHT));
  return 0;
}

// Each static control paints with the colours it gives itself.
INT_PTR CAboutDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_CTLCOLORSTATIC) return 0;
  return SendMessageW(reinterpret_cast<HWND>(lParam), WM_CTLCOLORSTATIC, wParam, lParam);
}

void RunAboutCommand(HWND owner) {
  if (IsServiceRunning()) {
    CAboutDlg(owner).Show();
    return;
  }
  const auto& process = Process();
  MessageBoxW(owner, process.notices.serviceNotRunning.c_str(), process.productName.c_str(),
              MB_OK | MB_ICONWARNING);
}

}  // namespace qdrl
