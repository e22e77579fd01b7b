// The update wizard's pages: the welcome page that describes the update, and the
// download page that fetches the installer on a worker thread, checks its MD5 digest
// and starts it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "../Dialog.h"
#include "../WorkerThread.h"
#include "HtClient.h"
#include "InstallerFile.h"
#include "SslSocket.h"
#include "UpdateDescription.h"

namespace qdrl {

// A page of the update wizard: it shows one update description.
class CUpdPropertyPageDlg : public CPropertyPageDlg {
 public:
  std::wstring Title() const override { return title_; }

 protected:
  CUpdPropertyPageDlg(int templateId, const UpdateDescription& update);

  const UpdateDescription& Update() const { return update_; }
  // Ends the update as failed: a warning, then the wizard closes.
  void OnUnexpectedFailure() override;
  // A warning box owned by the page: "Failed to update Quadrel: " and reason.
  void ShowFailure(const std::wstring& reason) const;

 private:
  const UpdateDescription& update_;
  std::wstring title_;
};

class CUpdWelcomeDlg : public CUpdPropertyPageDlg {
 public:
  explicit CUpdWelcomeDlg(const UpdateDescription& update);

  std::wstring Subtitle() const override { return subtitle_; }
  std::vector<std::wstring> Buttons() const override { return buttons_; }
  void OnSetActive() override;
  void OnButton(int index) override;

 private:
  std::vector<std::wstring> buttons_;
  std::wstring subtitle_;
};

// Downloads into a fresh file of the temporary folder. The download thread touches
// only the fetch, its progress record and the result fields; it reports back by
// posting WM_DOWNLOAD_DONE. The page never outlives the thread: destroying the page
// aborts the fetch and waits for it, and removes a download that was not started.
class CUpdDownloadDlg : public CUpdPropertyPageDlg {
 public:
  explicit CUpdDownloadDlg(const UpdateDescription& update);

  std::wstring Subtitle() const override { return subtitle_; }
  std::vector<std::wstring> Buttons() const override { return buttons_; }
  void OnSetActive() override;
  void OnButton(int index) override;  // the only button cancels
  void OnCancel() override;           // Esc and the close box cancel too
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  class CDownloadThread : public CWorkerThread {
   public:
    explicit CDownloadThread(CUpdDownloadDlg& page);

   private:
    static DWORD Download(CWorkerThread* self);
    CUpdDownloadDlg& page_;
  };

  // On the download thread.
  void Download();
  void Fetch();

  void CancelDownload();
  void UpdateProgressBar() const;
  void OnDownloadDone();
  bool ValidateAndRun();
  // WM_DESTROY: the timer stops, the thread is stopped and waited for, and a download
  // that did not start the installer is removed.
  void OnDestroy();

  HtProgress progress_;
  CHtGet<CUpdateSocket> get_;
  CDownloadThread thread_{*this};
  // Made and written by the thread; the page's once the thread has ended.
  CInstallerFile installer_;
  bool fetched_ = false;  // the download's result
  ErrorNumber finalError_ = 0;
  bool cancelled_ = false;  // the page's own thread only
  bool installerStarted_ = false;
  std::vector<std::wstring> buttons_;
  std::wstring subtitle_;
};

}  // namespace qdrl
