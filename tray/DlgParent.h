// Dialog parents: threads with a hidden "QDRLDP" window that own every dialog and
// message box, so the main thread never blocks in one.
#pragma once

#include <windows.h>

#include <cstdint>

#include "WorkerThread.h"

namespace qdrl {

class CDlgParent : public CWorkerThread {
 public:
  CDlgParent();

  HWND Window() const { return window_; }

  // Start-up: registers the "QDRLDP" class; false on failure.
  static bool RegisterWindowClass(HINSTANCE instance);

 private:
  static DWORD ThreadMain(CWorkerThread* self);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam);

  bool CreateHiddenWindow();
  // Runs a forwarded command; false when the command is not one of ours.
  bool RunCommand(unsigned commandId, LPARAM lParam);
  void ShowNotices(LPARAM noticeFlags);

  HWND window_ = nullptr;
  std::uint8_t busy_ = 0;  // touched only by this object's own thread
};

// Start-up: creates the three dialog parents one after another through the handshake
// event; ends the process when one cannot create its window.
void StartDialogParents();

// Sends `commandId` with `lParam` to dialog parent `index`; ends the process when that
// parent's thread has died.
void ForwardCommand(int index, unsigned commandId, LPARAM lParam);

// Shutdown: closes each dialog parent's window in table order and waits for its thread.
void StopDialogParents();

}  // namespace qdrl
