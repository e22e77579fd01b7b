#include "DlgParent.h"

#include <objbase.h>

#include "About.h"
#include "BusyFlag.h"
#include "Decisions.h"
#include "MessageLoop.h"
#include "Messages.h"
#include "ProcessState.h"
#include "update/UpdateCheck.h"

namespace qdrl {

CDlgParent::CDlgParent() : CWorkerThread(&CDlgParent::ThreadMain) {}

bool CDlgParent::RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &CDlgParent::WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kDialogParentClass.data();
  return RegisterClassExW(&windowClass) != 0;
}

DWORD CDlgParent::ThreadMain(CWorkerThread* self) {
  auto* parent = static_cast<CDlgParent*>(self);
  const bool created = parent->CreateHiddenWindow();
  // Start-up waits for this one thread, so no other thread writes the result now.
  Process().dialogParentWindowCreated = created;
  SetEvent(Process().handshakeEvent);
  if (!created) return 1;

  // The dialogs of this thread start programs through the shell, which expects COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HHOOK hook = SetWindowsHookExW(WH_CBT, &CDlgParent::CreationHook, nullptr, GetCurrentThreadId());
  RunMessageLoop();
  if (hook != nullptr) UnhookWindowsHookEx(hook);
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

bool CDlgParent::CreateHiddenWindow() {
  HWND window = CreateWindowExW(0, kDialogParentClass.data(), L"", 0, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                Process().instance, nullptr);
  if (window == nullptr) return false;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  window_ = window;
  return true;
}

namespace {

bool IsOwnedByDialogParent(HWND owner) {
  wchar_t className[8];
  return owner != nullptr && GetClassNameW(owner, className, 8) > 0 &&
         IsDialogParentClass(className, 8);
}

void AddAppWindowStyle(HWND window) {
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_EXSTYLE);
  if ((style & WS_EX_APPWINDOW) == 0) SetWindowLongPtrW(window, GWL_EXSTYLE, style | WS_EX_APPWINDOW);
}

}  // namespace

// Gives every window owned by a hidden dialog-parent window its own taskbar button:
// the owner is hidden, so the system would otherwise show none.
LRESULT CALLBACK CDlgParent::CreationHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    auto* creation = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
    if (IsOwnedByDialogParent(creation->lpcs->hwndParent)) {
      creation->lpcs->dwExStyle |= WS_EX_APPWINDOW;
    }
  } else if (code == HCBT_ACTIVATE) {
    // Some systems (Wine) take the extended style from their own copy of the creation
    // parameters after the hook; the window is still hidden when it is first
    // activated, so setting the style now still gives it its taskbar button.
    HWND window = reinterpret_cast<HWND>(wParam);
    if (IsOwnedByDialogParent(GetWindow(window, GW_OWNER))) AddAppWindowStyle(window);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK CDlgParent::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_COMMAND: {
      auto* parent = reinterpret_cast<CDlgParent*>(GetWindowLongPtrW(window, GWLP_USERDATA));
      if (parent != nullptr && parent->RunCommand(LOWORD(wParam), lParam)) return 0;
      break;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool CDlgParent::RunCommand(unsigned commandId, LPARAM lParam) {
  if (commandId != ID_UPDATE_WIZARD && commandId != ID_SHOW_NOTICES && commandId != ID_ABOUT) {
    return false;
  }
  SetForegroundWindow(window_);
  BusyScope busy(busy_);
  if (!busy.Acquired()) return true;  // a dialog of this parent is open already
  switch (commandId) {
    case ID_UPDATE_WIZARD: RunUpdateWizard(window_); break;
    case ID_SHOW_NOTICES: ShowNotices(lParam); break;
    case ID_ABOUT: RunAboutCommand(window_); break;
  }
  return true;
}

void CDlgParent::ShowNotices(LPARAM noticeFlags) {
  if (!WantsRemovableMediaNotice(noticeFlags)) return;
  MessageBoxW(window_, Process().notices.removableMedia.c_str(), Process().productName.c_str(),
              MB_OK | MB_ICONWARNING);
}

void StartDialogParents() {
  auto& process = Process();
  for (auto*& slot : process.dialogParents) {
    auto* parent = new CDlgParent();
    ResetEvent(process.handshakeEvent);
    parent->Start();
    WaitForSingleObject(process.handshakeEvent, INFINITE);
    if (!process.dialogParentWindowCreated) EndProcessSilently();
    slot = parent;
  }
}

void ForwardCommand(int index, unsigned commandId, LPARAM lParam) {
  CDlgParent* parent = Process().dialogParents[static_cast<std::size_t>(index)];
  if (parent->HasEnded()) EndProcessSilently();
  PostMessageW(parent->Window(), WM_COMMAND, commandId, lParam);
}

void StopDialogParents() {
  for (auto*& parent : Process().dialogParents) {
    if (parent == nullptr) continue;
    if (!parent->HasEnded()) {
      // The default handling destroys the window, whose WM_DESTROY ends the loop.
      SendMessageW(parent->Window(), WM_CLOSE, 0, 0);
      WaitForSingleObject(parent->Handle(), INFINITE);
    }
    delete parent;  // closes the thread handle
    parent = nullptr;
  }
}

}  // namespace qdrl
