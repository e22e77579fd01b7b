#include "UpdateCheck.h"

#include "../Messages.h"
#include "../ProcessState.h"
#include "../Registry.h"
#include "../Service.h"
#include "UpdPages.h"
#include "UpdateDescription.h"
#include "UpdateRules.h"

namespace qdrl {

namespace {

constexpr UINT kWizardTitle = 412;

// The description of the offered update: written once by the start-up check on the
// main thread before it posts the notice, read by the wizard afterwards.
UpdateDescription& OfferedUpdate() {
  static UpdateDescription update;
  return update;
}

}  // namespace

void RunStartupUpdateCheck() {
  if (!IsServiceRunning()) return;
  const auto path = ReadUpdateDescriptionPath();
  if (!path) return;
  UpdateDescription update;
  if (!ReadUpdateDescription(*path, update)) return;
  auto& process = Process();
  if (!OffersUpdate(process.productVersion, update.version, ReadSkippedUpdate())) return;
  OfferedUpdate() = std::move(update);
  process.updateAvailable = true;
  PostMessageW(process.trayWindow, WM_TRAY_NOTICE, NOTICE_UPDATE_AVAILABLE, 0);
}

// The flag stays set afterwards, so the balloon or a later command opens it again.
void RunUpdateWizard(HWND owner) {
  if (!Process().updateAvailable) return;
  CUpdWelcomeDlg welcome(OfferedUpdate());
  CUpdDownloadDlg download(OfferedUpdate());
  CWizardDlg wizard(LoadText(kWizardTitle), {&welcome, &download}, owner);
  wizard.Show();
}

}  // namespace qdrl
