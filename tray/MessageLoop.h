// The message loop of the main thread and of every dialog-parent thread.
#pragma once

#include <windows.h>

namespace qdrl {

// Gets, translates and dispatches messages until WM_QUIT and returns its exit code;
// a failing GetMessageW ends the loop with 1 instead of spinning on the error.
inline int RunMessageLoop() {
  MSG message;
  BOOL result;
  while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return result == 0 ? static_cast<int>(message.wParam) : 1;
}

}  // namespace qdrl
