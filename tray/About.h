// The About command of dialog parent 0 and the About box.
#pragma once

#include <windows.h>

#include "Dialog.h"

namespace qdrl {

// Shows the product name and version, the web address and the copyright line.
class CAboutDlg : public CModalDlg {
 public:
  explicit CAboutDlg(HWND owner);
  ~CAboutDlg() override;

  INT_PTR OnInitDialog() override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  HICON icon_ = nullptr;  // a static control does not free the icon it shows
};

// Shows the About box owned by `owner` while the service runs; otherwise a warning
// that it does not.
void RunAboutCommand(HWND owner);

}  // namespace qdrl
