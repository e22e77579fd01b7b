// The dialog framework: every window the user sees, apart from balloons and message
// boxes, is a dialog from a resource template driven by one of these classes. Each
// dialog runs on a dialog-parent thread and is owned by that thread's hidden window.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "WizardFlow.h"

namespace qdrl {

class CWizardDlg;

// The common dialog procedure and the handlers it calls.
class CDlg {
 public:
  virtual ~CDlg() = default;
  CDlg(const CDlg&) = delete;
  CDlg& operator=(const CDlg&) = delete;

  HWND Window() const { return window_; }

  // Messages other than the initialisation, OK, Cancel and Help; the result goes back
  // to the dialog manager.
  virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // The result of WM_INITDIALOG: nonzero lets the dialog manager set the focus.
  virtual INT_PTR OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void OnHelp();
  // An exception (memory running out, a failing library set-up) left a handler of
  // this dialog; nothing by default, the message counting as unhandled.
  virtual void OnUnexpectedFailure();

 protected:
  explicit CDlg(int templateId) : templateId_(templateId) {}

  int TemplateId() const { return templateId_; }
  // Sets the text of control `id`; failures are ignored.
  void SetItemText(int id, const std::wstring& text) const;

  // Dispatches to the handlers; no exception leaves it for the system's caller.
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static INT_PTR Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Centers the dialog (see Placement.h) and keeps it inside the work area.
  void Position() const;

  HWND window_ = nullptr;
  int templateId_;
  int center_ = 1;  // center on the owner rather than keep the template's place
};

// A modal dialog owned by a given window.
class CModalDlg : public CDlg {
 public:
  // Runs the dialog and returns the value it ended with (1 for OK, 2 for Cancel).
  INT_PTR Show();
  // Ends the dialog with `result`.
  void End(INT_PTR result) const;

  void OnOK() override { End(IDOK); }
  void OnCancel() override { End(IDCANCEL); }

 protected:
  CModalDlg(int templateId, HWND owner) : CDlg(templateId), owner_(owner) {}

 private:
  HWND owner_;
};

// A modeless dialog, created as a child of a given parent.
class CModelessDlg : public CDlg {
 public:
  bool Create(HWND parent);

 protected:
  using CDlg::CDlg;
};

// A page of a wizard: a modeless child of the wizard that tells the wizard its title,
// subtitle and button texts, and gets the presses of its buttons.
class CPropertyPageDlg : public CModelessDlg {
 public:
  INT_PTR OnInitDialog() override;  // attaches the page to its wizard
  void OnCancel() override;         // ends the wizard with 2

  virtual std::wstring Title() const = 0;
  virtual std::wstring Subtitle() const { return {}; }
  // Texts of the page's buttons, left to right; they sit on the wizard's last buttons.
  virtual std::vector<std::wstring> Buttons() const { return {}; }
  // Runs each time the page is shown, after the wizard laid it out.
  virtual void OnSetActive() {}
  // A press of the page's button `index` (0 is the leftmost of the page's buttons).
  virtual void OnButton(int index);

 protected:
  explicit CPropertyPageDlg(int templateId) : CModelessDlg(templateId) {}

  CWizardDlg& Wizard() const { return *wizard_; }

 private:
  CWizardDlg* wizard_ = nullptr;
};

// A modal dialog that hosts pages and up to five buttons whose texts the current page
// chooses. The pages stay owned by the caller and must outlive the wizard.
class CWizardDlg : public CModalDlg {
 public:
  CWizardDlg(std::wstring title, std::vector<CPropertyPageDlg*> pages, HWND owner);
  ~CWizardDlg() override;

  // Services for the pages.
  void ShowPage(std::size_t index);
  void DisableFirstButton() const;
  void FocusFirstButton() const;

  INT_PTR OnInitDialog() override;
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void OnOK() override {}
  void OnCancel() override;  // Esc or the close box: the current page decides

 private:
  void SetBoldTitleFont();
  void RememberPageArea();
  void CreatePages();
  void LayOutButtons(const CPropertyPageDlg& page) const;
  CPropertyPageDlg* CurrentPage() const;
  HWND WizardButton(int index) const;
  HWND FirstUsedButton() const;

  std::wstring title_;
  std::vector<CPropertyPageDlg*> pages_;
  HFONT titleFont_ = nullptr;
  RECT pageArea_{};  // client coordinates of the hidden frame control
  WizardPager pager_;
};

}  // namespace qdrl
