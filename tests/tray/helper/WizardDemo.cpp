#include "WizardDemo.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

#include "Dialog.h"
#include "ProcessState.h"
#include "res/resource.h"

namespace qdrltest {

namespace {

using qdrl::CPropertyPageDlg;

// Three buttons: "Next" shows the second page, "Later" ends with 2, "Skip" with 3.
class FirstPage : public CPropertyPageDlg {
 public:
  FirstPage() : CPropertyPageDlg(IDD_UPDATE_WELCOME) {}

  std::wstring Title() const override { return L"Demonstration wizard"; }
  std::wstring Subtitle() const override { return L"The first of two pages."; }
  std::vector<std::wstring> Buttons() const override { return {L"Next", L"Later", L"Skip"}; }

  void OnSetActive() override {
    PrintTitleFont();
    SetItemText(IDC_WELCOME_HEADLINE, L"Headline of the first page.");
    SetItemText(IDC_WELCOME_DESCRIPTION, L"Description of the first page.");
    Wizard().FocusFirstButton();
  }

  void OnButton(int index) override {
    switch (index) {
      case 0: Wizard().ShowPage(1); break;
      case 1: Wizard().End(2); break;
      case 2: Wizard().End(3); break;
    }
  }

 private:
  // The wizard has set its title's font by now; fonts cannot be read from another
  // process, so the test learns it from here.
  void PrintTitleFont() const {
    auto font = reinterpret_cast<HFONT>(
        SendDlgItemMessageW(GetParent(Window()), IDC_WIZARD_TITLE, WM_GETFONT, 0, 0));
    LOGFONTW info{};
    if (font != nullptr && GetObjectW(font, sizeof(info), &info) != 0) {
      std::wprintf(L"title font weight=%ld height=%ld\n", info.lfWeight, info.lfHeight);
      std::fflush(stdout);
    }
  }
};

// One button, "Stop", which like Esc first asks to stop (disabling the button) and
// ends the wizard on the second request, as a page with work in progress would.
class SecondPage : public CPropertyPageDlg {
 public:
  SecondPage() : CPropertyPageDlg(IDD_UPDATE_DOWNLOAD) {}

  std::wstring Title() const override { return L"Demonstration wizard"; }
  std::wstring Subtitle() const override { return L"The second of two pages."; }
  std::vector<std::wstring> Buttons() const override { return {L"Stop"}; }

  void OnSetActive() override {
    SetItemText(IDC_DOWNLOAD_STATUS, L"Working...");
    SendDlgItemMessageW(Window(), IDC_DOWNLOAD_PROGRESS, PBM_SETPOS, 40, 0);
    Wizard().FocusFirstButton();
  }

  void OnButton(int) override { OnCancel(); }

  void OnCancel() override {
    if (stopping_) {
      CPropertyPageDlg::OnCancel();
      return;
    }
    stopping_ = true;
    SetItemText(IDC_DOWNLOAD_STATUS, L"Stopping...");
    Wizard().DisableFirstButton();
  }

 private:
  bool stopping_ = false;
};

// The product's templates: qdrlgui.exe in the helper's own folder, as a data file.
HINSTANCE ProductResources() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return nullptr;
  std::wstring program(path, length);
  program = program.substr(0, program.find_last_of(L'\\') + 1) + L"qdrlgui.exe";
  return LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

}  // namespace

int RunWizardDemo() {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  qdrl::Process().instance = ProductResources();
  if (qdrl::Process().instance == nullptr) {
    std::wprintf(L"cannot read qdrlgui.exe\n");
    return 1;
  }
  // Hidden like a dialog parent's window, so the wizard centers on the work area.
  HWND owner = CreateWindowExW(0, L"Static", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  FirstPage first;
  SecondPage second;
  qdrl::CWizardDlg wizard(L"Demonstration", {&first, &second}, owner);
  const INT_PTR result = wizard.Show();
  std::wprintf(L"result %lld\n", static_cast<long long>(result));
  DestroyWindow(owner);
  return 0;
}

}  // namespace qdrltest
