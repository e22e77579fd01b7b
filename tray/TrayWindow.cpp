#include "TrayWindow.h"

#include <windows.h>
#include <shellapi.h>

#include <array>
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

constexpr UINT_PTR kStateTimer = 1;
constexpr UINT kStateTimerPeriodMs = 3000;
constexpr UINT kBalloonTimeoutMs = 30000;

void CopyText(wchar_t* target, std::size_t capacity, const std::wstring& text) {
  lstrcpynW(target, text.c_str(), static_cast<int>(capacity));
}

// The program's one icon in the notification area. Each operation returns the shell's
// result, or TRUE when it had nothing to do.
class CNotifyIcon {
 public:
  CNotifyIcon(HWND owner, HICON icon, const std::wstring& tip) {
    data_.cbSize = kNotifyIconDataSize;
    data_.hWnd = owner;
    data_.uID = 0;
    data_.uCallbackMessage = WM_TRAY_ICON;
    data_.hIcon = icon;
    CopyText(data_.szTip, std::size(data_.szTip), tip);
  }

  BOOL Add() {
    if (added_) return TRUE;
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    if (!Shell_NotifyIconW(NIM_ADD, &data_)) return FALSE;
    SetVersion();
    added_ = true;
    return TRUE;
  }

  // Brings the icon back after the taskbar was re-created; while the icon exists the
  // add call simply fails.
  BOOL ReAdd() {
    if (!added_) return TRUE;
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    Shell_NotifyIconW(NIM_ADD, &data_);
    SetVersion();
    return TRUE;
  }

  // The version shares its field with a balloon's time-out, which an earlier balloon
  // may have left there.
  void SetVersion() {
    data_.uVersion = NOTIFYICON_VERSION;
    Shell_NotifyIconW(NIM_SETVERSION, &data_);
  }

  BOOL SetIcon(HICON icon) {
    data_.hIcon = icon;
    return Modify(NIF_ICON);
  }

  BOOL SetTip(const std::wstring& tip) {
    CopyText(data_.szTip, std::size(data_.szTip), tip);
    return Modify(NIF_TIP);
  }

  BOOL Balloon(const std::wstring& text, const std::wstring& title) {
    if (!added_) return TRUE;
    CopyText(data_.szInfo, std::size(data_.szInfo), text);
    CopyText(data_.szInfoTitle, std::size(data_.szInfoTitle), title);
    data_.uTimeout = kBalloonTimeoutMs;
    data_.dwInfoFlags = NIIF_INFO;
    return Modify(NIF_INFO);
  }

  BOOL Remove() {
    if (!added_) return TRUE;
    added_ = false;
    return Shell_NotifyIconW(NIM_DELETE, &data_);
  }

 private:
  BOOL Modify(UINT validMembers) {
    if (!added_) return TRUE;
    data_.uFlags = validMembers;
    return Shell_NotifyIconW(NIM_MODIFY, &data_);
  }

  NOTIFYICONDATAW data_{};
  bool added_ = false;
};

struct TrayState {
  HWND window = nullptr;
  std::array<HICON, 2> icons{};  // by state index: service running, service stopped
  int shownState = 0;
  // Null once the icon has been removed: every icon operation then does nothing, also
  // for messages that still arrive afterwards (notices, icon events, a queued tick).
  std::unique_ptr<CNotifyIcon> icon;
  CRITICAL_SECTION lock;  // held while the shown state, icon and tip change
  unsigned lastNoticeKind = 0;
  std::uint8_t removalPending = 1;
};

TrayState& Tray() {
  static TrayState state;
  return state;
}

class LockScope {
 public:
  explicit LockScope(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
  ~LockScope() { LeaveCriticalSection(&lock_); }
  LockScope(const LockScope&) = delete;
  LockScope& operator=(const LockScope&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

int CurrentState() { return IconStateIndex(IsServiceRunning()); }

// Runs at most once, for whichever of WM_ENDSESSION and WM_CLOSE comes first.
void RemoveIconOnce() {
  auto& tray = Tray();
  if (tray.removalPending != 1) return;
  tray.removalPending = 0;
  KillTimer(tray.window, kStateTimer);
  LockScope locked(tray.lock);
  if (tray.icon) tray.icon->Remove();
  tray.icon.reset();
}

// Re-adds the icon in case the taskbar was re-created, and shows the service's state
// when it changed.
void OnStateTimer() {
  auto& tray = Tray();
  LockScope locked(tray.lock);
  if (!tray.icon) return;
  tray.icon->ReAdd();
  const int state = CurrentState();
  if (state == tray.shownState) return;
  tray.icon->SetIcon(tray.icons[static_cast<std::size_t>(state)]);
  tray.icon->SetTip(Process().productName);
  tray.shownState = state;
}

// Kinds other than the two notices are ignored and not remembered.
void ShowNotice(unsigned kind) {
  if (!IsNoticeKind(kind)) return;
  auto& tray = Tray();
  tray.lastNoticeKind = kind;
  if (!tray.icon) return;
  const auto& notices = Process().notices;
  if (kind == NOTICE_ALREADY_RUNNING) {
    tray.icon->Balloon(notices.alreadyRunningText, notices.alreadyRunningTitle);
  } else {
    tray.icon->Balloon(notices.updateAvailableText, notices.updateAvailableTitle);
  }
}

// The one-item menu at the cursor; choosing the item sends ID_ABOUT to the window.
LRESULT ShowContextMenu(HWND window) {
  SetForegroundWindow(window);
  HMENU menu = LoadMenuW(Process().instance, MAKEINTRESOURCEW(IDM_TRAY_MENU));
  if (menu == nullptr) return 0;
  HMENU popup = GetSubMenu(menu, 0);
  if (popup == nullptr) {
    DestroyMenu(menu);
    return 0;
  }
  SetMenuDefaultItem(popup, ID_ABOUT, FALSE);
  POINT cursor{};
  GetCursorPos(&cursor);
  TrackPopupMenu(popup, TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
  // Lets the menu close properly when the user clicks elsewhere.
  PostMessageW(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
  return 1;
}

void OnBalloonClick(HWND window) {
  switch (ActionOfBalloonClick(Tray().lastNoticeKind)) {
    case BalloonClickAction::OpenHelpPage:
      // The shell's result is ignored: there is nothing else to offer.
      ShellExecuteW(window, L"open", kHelpPageAddress.data(), nullptr, nullptr, SW_SHOWNORMAL);
      break;
    case BalloonClickAction::OpenUpdateWizard:
      PostMessageW(window, WM_COMMAND, ID_UPDATE_WIZARD, 0);
      break;
    case BalloonClickAction::Nothing:
      break;
  }
}

// The icon's callback: lParam is the mouse or balloon event (icon version 3).
LRESULT OnIconEvent(HWND window, LPARAM event) {
  switch (static_cast<UINT>(event)) {
    case WM_RBUTTONUP:
      return ShowContextMenu(window);
    case WM_LBUTTONDBLCLK:
      PostMessageW(window, WM_COMMAND, ID_ABOUT, 0);
      return 1;
    case NIN_BALLOONUSERCLICK:
      OnBalloonClick(window);
      return 1;
    default:
      return 1;
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
    case WM_TIMER:
      if (wParam == kStateTimer) {
        OnStateTimer();
        return 0;
      }
      break;
    case WM_TRAY_NOTICE:
      ShowNotice(static_cast<unsigned>(wParam));
      return 0;
    case WM_TRAY_ICON:
      return OnIconEvent(window, lParam);
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HICON LoadSmallIcon(int id) {
  return static_cast<HICON>(LoadImageW(Process().instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 16,
                                       16, LR_DEFAULTCOLOR));
}

HWND CreateHiddenTrayWindow() {
  auto& process = Process();
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &TrayWindowProc;
  windowClass.hInstance = process.instance;
  windowClass.lpszClassName = kTrayWindowClass.data();
  if (RegisterClassExW(&windowClass) == 0) return nullptr;
  return CreateWindowExW(0, kTrayWindowClass.data(), L"", 0, CW_USEDEFAULT, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, process.instance, nullptr);
}

}  // namespace

bool CreateTrayWindow() {
  auto& process = Process();
  auto& tray = Tray();
  InitializeCriticalSection(&tray.lock);
  tray.window = CreateHiddenTrayWindow();
  if (tray.window == nullptr) return false;
  process.trayWindow = tray.window;

  tray.icons = {LoadSmallIcon(IDI_SERVICE_RUNNING), LoadSmallIcon(IDI_SERVICE_STOPPED)};
  const int state = CurrentState();
  tray.icon = std::make_unique<CNotifyIcon>(tray.window, tray.icons[static_cast<std::size_t>(state)],
                                            process.productName);
  if (!tray.icon->Add()) return false;
  tray.shownState = state;
  SetTimer(tray.window, kStateTimer, kStateTimerPeriodMs, nullptr);
  return true;
}

}  // namespace qdrl
