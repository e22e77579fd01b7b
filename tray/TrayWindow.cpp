#include "TrayWindow.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <memory>

#include "Decisions.h"
#include "DlgParent.h"
#include "Messages.h"
#include "ProcessState.h"
#include "Service.h"
#include "res/resource.h"

namespace qdrl {

namespace {

// The notification-icon data layout that ends with the balloon flags, without the
// item GUID and the balloon icon.
constexpr DWORD kNotifyIconDataSize = NOTIFYICONDATAW_V2_SIZE;
static_assert(kNotifyIconDataSize == 952);

void CopyText(wchar_t* target, std::size_t capacity, const std::wstring& text) {
  lstrcpynW(target, text.c_str(), static_cast<int>(capacity));
}

class CNotifyIcon {
 public:
  CNotifyIcon(HWND owner, HICON icon, const std::wstring& tip) {
    data_.cbSize = kNotifyIconDataSize;
    data_.hWnd = owner;
    data_.uID = 0;
    data_.uCallbackMessage = WM_TRAY_ICON;
    data_.hIcon = icon;
    CopyText(data_.szTip, std::size(data_.szTip), tip);
    data_.uVersion = NOTIFYICON_VERSION;
  }

  BOOL Add() {
    if (added_) return TRUE;
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    if (!Shell_NotifyIconW(NIM_ADD, &data_)) return FALSE;
    Shell_NotifyIconW(NIM_SETVERSION, &data_);
    added_ = true;
    return TRUE;
  }

  BOOL Balloon(const std::wstring& text, const std::wstring& title) {
    if (!added_) return TRUE;
    data_.uFlags = NIF_INFO;
    CopyText(data_.szInfo, std::size(data_.szInfo), text);
    CopyText(data_.szInfoTitle, std::size(data_.szInfoTitle), title);
    data_.uTimeout = 30000;
    data_.dwInfoFlags = NIIF_INFO;
    return Shell_NotifyIconW(NIM_MODIFY, &data_);
  }

  BOOL Remove() {
    if (!added_) return TRUE;
    added_ = false;
    return Shell_NotifyIconW(NIM_DELETE, &data_);
  }

 private:
  NOTIFYICONDATAW data_{};
  bool added_ = false;
};

struct TrayState {
  // Null once the icon has been removed: every icon operation then does nothing.
  std::unique_ptr<CNotifyIcon> icon;
  std::uint8_t removalPending = 1;
};

TrayState& Tray() {
  static TrayState state;
  return state;
}

// Runs at most once, for whichever of WM_ENDSESSION and WM_CLOSE comes first.
void RemoveIconOnce() {
  auto& tray = Tray();
  if (tray.removalPending != 1) return;
  tray.removalPending = 0;
  if (tray.icon) tray.icon->Remove();
  tray.icon.reset();
}

// Kinds other than the two notices are ignored.
void ShowNotice(unsigned kind) {
  auto& tray = Tray();
  if (!tray.icon) return;
  const auto& notices = Process().notices;
  if (kind == NOTICE_ALREADY_RUNNING) {
    tray.icon->Balloon(notices.alreadyRunningText, notices.alreadyRunningTitle);
  } else if (kind == NOTICE_UPDATE_AVAILABLE) {
    tray.icon->Balloon(notices.updateAvailableText, notices.updateAvailableTitle);
  }
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      RemoveIconOnce();
      DestroyWindow(window);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam) RemoveIconOnce();
      return 0;
    case WM_COMMAND:
      if (auto route = RouteCommand(LOWORD(wParam), lParam)) {
        ForwardCommand(route->dialogParent, LOWORD(wParam), route->lParam);
        return 0;
      }
      break;
    case WM_TRAY_NOTICE:
      ShowNotice(static_cast<unsigned>(wParam));
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HICON LoadSmallIcon(int id) {
  return static_cast<HICON>(LoadImageW(Process().instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 16,
                                       16, LR_DEFAULTCOLOR));
}

}  // namespace

bool CreateTrayWindow() {
  auto& process = Process();
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &TrayWindowProc;
  windowClass.hInstance = process.instance;
  windowClass.lpszClassName = kTrayWindowClass.data();
  if (RegisterClassExW(&windowClass) == 0) return false;
  HWND window = CreateWindowExW(0, kTrayWindowClass.data(), L"", 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, process.instance, nullptr);
  if (window == nullptr) return false;

  process.trayWindow = window;
  HICON icon = LoadSmallIcon(IsServiceRunning() ? IDI_SERVICE_RUNNING : IDI_SERVICE_STOPPED);
  auto& tray = Tray();
  tray.icon = std::make_unique<CNotifyIcon>(window, icon, process.productName);
  return tray.icon->Add() != FALSE;
}

}  // namespace qdrl
