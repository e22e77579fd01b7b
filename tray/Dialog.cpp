#include "Dialog.h"

#include <optional>

#include "Placement.h"
#include "ProcessState.h"
#include "res/resource.h"

namespace qdrl {

namespace {

ScreenRect FromRect(const RECT& rect) {
  return {static_cast<std::int32_t>(rect.left), static_cast<std::int32_t>(rect.top),
          static_cast<std::int32_t>(rect.right), static_cast<std::int32_t>(rect.bottom)};
}

// The owner's window rectangle when the owner is visible and not minimised.
std::optional<ScreenRect> VisibleOwnerRect(HWND dialog) {
  HWND owner = GetWindow(dialog, GW_OWNER);
  RECT rect;
  if (owner == nullptr || !IsWindowVisible(owner) || IsIconic(owner) || !GetWindowRect(owner, &rect)) {
    return std::nullopt;
  }
  return FromRect(rect);
}

CDlg* ObjectOf(HWND window) {
  return reinterpret_cast<CDlg*>(GetWindowLongPtrW(window, DWLP_USER));
}

}  // namespace

INT_PTR CDlg::OnMessage(UINT, WPARAM, LPARAM) { return 0; }
INT_PTR CDlg::OnInitDialog() { return 1; }
void CDlg::OnOK() {}
void CDlg::OnCancel() {}
void CDlg::OnHelp() {}
void CDlg::OnUnexpectedFailure() {}

void CDlg::SetItemText(int id, const std::wstring& text) const {
  SetDlgItemTextW(window_, id, text.c_str());
}

INT_PTR CALLBACK CDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return Dispatch(window, message, wParam, lParam);
  } catch (...) {
    try {
      if (CDlg* dialog = ObjectOf(window)) dialog->OnUnexpectedFailure();
    } catch (...) {
      // Reporting the failure failed too; the message stays unhandled.
    }
  }
  return 0;
}

INT_PTR CDlg::Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<CDlg*>(lParam);
    dialog->window_ = window;
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(dialog));
    const INT_PTR result = dialog->OnInitDialog();
    if (NeedsPlacement(static_cast<std::uint32_t>(GetWindowLongPtrW(window, GWL_STYLE)))) {
      dialog->Position();
    }
    return result;
  }
  CDlg* dialog = ObjectOf(window);
  if (dialog == nullptr) return 0;  // messages before WM_INITDIALOG
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        dialog->OnOK();
        return 1;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        dialog->OnCancel();
        return 1;
      }
      break;
    case WM_HELP:
      dialog->OnHelp();
      return 1;
  }
  return dialog->OnMessage(message, wParam, lParam);
}

void CDlg::Position() const {
  RECT workArea;
  RECT rect;
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0) || !GetWindowRect(window_, &rect)) {
    return;
  }
  const auto corner = PlaceDialog(FromRect(rect), FromRect(workArea),
                                  center_ ? VisibleOwnerRect(window_) : std::nullopt, center_ != 0);
  SetWindowPos(window_, nullptr, corner.x, corner.y, 0, 0,
               SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOZORDER);
}

INT_PTR CModalDlg::Show() {
  return DialogBoxParamW(Process().instance, MAKEINTRESOURCEW(TemplateId()), owner_,
                         &CDlg::DialogProc, reinterpret_cast<LPARAM>(static_cast<CDlg*>(this)));
}

void CModalDlg::End(INT_PTR result) const { EndDialog(Window(), result); }

bool CModelessDlg::Create(HWND parent) {
  return CreateDialogParamW(Process().instance, MAKEINTRESOURCEW(TemplateId()), parent,
                            &CDlg::DialogProc,
                            reinterpret_cast<LPARAM>(static_cast<CDlg*>(this))) != nullptr;
}

INT_PTR CPropertyPageDlg::OnInitDialog() {
  // The wizard stored itself in its user data before it created its pages.
  wizard_ = dynamic_cast<CWizardDlg*>(ObjectOf(GetParent(Window())));
  if (wizard_ == nullptr) EndProcessSilently();  // a page outside a wizard
  return 1;
}

void CPropertyPageDlg::OnCancel() { Wizard().End(IDCANCEL); }

void CPropertyPageDlg::OnButton(int) {}

CWizardDlg::CWizardDlg(std::wstring title, std::vector<CPropertyPageDlg*> pages, HWND owner)
    : CModalDlg(IDD_WIZARD, owner),
      title_(std::move(title)),
      pages_(std::move(pages)),
      pager_(pages_.size()) {}

CWizardDlg::~CWizardDlg() {
  if (titleFont_ != nullptr) DeleteObject(titleFont_);
}

INT_PTR CWizardDlg::OnInitDialog() {
  SetBoldTitleFont();
  RememberPageArea();
  SetWindowTextW(Window(), title_.c_str());
  CreatePages();
  ShowPage(0);
  return 0;  // the first page has set the focus
}

// The title in bold at 10 points, in the face of the template's font.
void CWizardDlg::SetBoldTitleFont() {
  HWND title = GetDlgItem(Window(), IDC_WIZARD_TITLE);
  LOGFONTW font{};
  auto current = reinterpret_cast<HFONT>(SendMessageW(title, WM_GETFONT, 0, 0));
  if (current == nullptr || GetObjectW(current, sizeof(font), &font) == 0) return;
  HDC context = GetDC(title);
  if (context == nullptr) return;
  font.lfHeight = -MulDiv(10, GetDeviceCaps(context, LOGPIXELSY), 72);
  ReleaseDC(title, context);
  font.lfWeight = FW_BOLD;
  titleFont_ = CreateFontIndirectW(&font);
  if (titleFont_ != nullptr) SendMessageW(title, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont_), TRUE);
}

void CWizardDlg::RememberPageArea() {
  GetWindowRect(GetDlgItem(Window(), IDC_WIZARD_PAGE_AREA), &pageArea_);
  MapWindowPoints(nullptr, Window(), reinterpret_cast<POINT*>(&pageArea_), 2);
}

void CWizardDlg::CreatePages() {
  for (CPropertyPageDlg* page : pages_) {
    if (!page->Create(Window())) EndProcessSilently();
  }
}

void CWizardDlg::ShowPage(std::size_t index) {
  const auto change = pager_.Show(index);
  if (!change) EndProcessSilently();  // pages only show pages of their own wizard
  if (change->hide) ShowWindow(pages_[*change->hide]->Window(), SW_HIDE);
  CPropertyPageDlg& page = *pages_[change->show];
  SetItemText(IDC_WIZARD_TITLE, page.Title());
  SetItemText(IDC_WIZARD_SUBTITLE, page.Subtitle());
  LayOutButtons(page);
  SetWindowPos(page.Window(), nullptr, pageArea_.left, pageArea_.top,
               pageArea_.right - pageArea_.left, pageArea_.bottom - pageArea_.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  page.OnSetActive();
  ShowWindow(page.Window(), SW_SHOW);
}

void CWizardDlg::LayOutButtons(const CPropertyPageDlg& page) const {
  const auto texts = page.Buttons();
  const auto plan = PlanWizardButtons(static_cast<int>(texts.size()));
  for (int index = 0; index < kWizardButtonCount; ++index) {
    HWND button = WizardButton(index);
    const auto& pageButton = plan[static_cast<std::size_t>(index)];
    EnableWindow(button, pageButton.has_value());
    ShowWindow(button, pageButton ? SW_SHOW : SW_HIDE);
    if (pageButton) SetWindowTextW(button, texts[static_cast<std::size_t>(*pageButton)].c_str());
  }
}

INT_PTR CWizardDlg::OnMessage(UINT message, WPARAM wParam, LPARAM) {
  if (message != WM_COMMAND) return 0;
  const auto button = WizardButtonOfControl(LOWORD(wParam));
  if (!button) return 0;
  if (CPropertyPageDlg* page = CurrentPage()) {
    // Hidden buttons are disabled too; only a posted command could press one.
    const int pageButtons = static_cast<int>(page->Buttons().size());
    if (const auto pageButton = PageButtonOnWizardButton(*button, pageButtons)) {
      page->OnButton(*pageButton);
    }
  }
  return 1;
}

void CWizardDlg::OnCancel() {
  if (CPropertyPageDlg* page = CurrentPage()) page->OnCancel();
}

void CWizardDlg::DisableFirstButton() const {
  if (HWND button = FirstUsedButton()) EnableWindow(button, FALSE);
}

void CWizardDlg::FocusFirstButton() const {
  if (HWND button = FirstUsedButton()) {
    PostMessageW(Window(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
  }
}

CPropertyPageDlg* CWizardDlg::CurrentPage() const {
  const auto current = pager_.Current();
  return current ? pages_[*current] : nullptr;
}

HWND CWizardDlg::WizardButton(int index) const {
  return GetDlgItem(Window(), static_cast<int>(kFirstWizardButtonId) + index);
}

HWND CWizardDlg::FirstUsedButton() const {
  const CPropertyPageDlg* page = CurrentPage();
  if (page == nullptr) return nullptr;
  const auto first = FirstUsedWizardButton(static_cast<int>(page->Buttons().size()));
  return first ? WizardButton(*first) : nullptr;
}

}  // namespace qdrl
