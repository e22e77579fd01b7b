// The process-wide state of the tray program: set during start-up, read-only
// afterwards unless a member says otherwise.
#pragma once

#include <windows.h>

#include <array>
#include <locale.h>
#include <string>

#include "Decisions.h"
#include "Messages.h"
#include "Version.h"

namespace qdrl {

class CDlgParent;

struct OsVersionInfo : OsVersion {
  std::wstring servicePack;
};

// Texts of the notices, loaded once by the single-instance guard.
struct NoticeStrings {
  std::wstring serviceNotRunning;
  std::wstring removableMedia;
  std::wstring alreadyRunningText;
  std::wstring alreadyRunningTitle;
  std::wstring updateAvailableText;
  std::wstring updateAvailableTitle;
};

enum class VersionInfoRead { NotTried, Succeeded, Failed };

struct ProcessState {
  HINSTANCE instance = nullptr;
  std::wstring modulePath;
  std::wstring moduleDirectory;
  std::wstring productName;       // caption of every message box
  std::wstring recordedFileName;  // OriginalFilename of the version resource
  ProductVersion fileVersion;
  ProductVersion productVersion;
  VersionInfoRead versionInfoRead = VersionInfoRead::NotTried;  // the crash reporter retries
  OsVersionInfo os;
  _locale_t crtLocale = nullptr;
  NoticeStrings notices;
  std::array<CDlgParent*, DLG_PARENT_COUNT> dialogParents{};
  HANDLE handshakeEvent = nullptr;
  // Written by a dialog-parent thread just before it signals the handshake event.
  bool dialogParentWindowCreated = false;
  bool hasIntegrityLabels = false;
  bool authorizationReady = false;
  HWND trayWindow = nullptr;
  bool updateAvailable = false;  // set by the start-up update check
};

ProcessState& Process();

// Ends the process with exit code 1 and no message: for internal impossibilities
// and the start-up failures that show nothing.
[[noreturn]] void EndProcessSilently();

// The string-table entry `id`; a missing entry ends the process.
std::wstring LoadText(UINT id);

// Sets the process's C run-time locale: the user's default, or code page 1252 when
// that cannot be made; false when neither can.
bool CreateCrtLocale();

// Fills the process's OS version from the system.
void ReadOsVersion();

}  // namespace qdrl
