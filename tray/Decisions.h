// Start-up and command rules of the tray program that need no Windows calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qdrl {

struct OsVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t platformId = 0;
};

// What start-up does after writing "setonce".
struct FirstRunPlan {
  bool showRemovableMediaNotice = false;  // post ID_SHOW_NOTICES with the removable-media flag
  bool runUpdateCheck = false;
};

// The first run for a user shows the removable-media notice on Windows 10.0 up to
// build 14393 and nothing else; every later start runs the update check.
FirstRunPlan PlanAfterStartup(bool firstRun, const OsVersion& os);

bool WantsRemovableMediaNotice(std::intptr_t noticeFlags);

// Where the tray window sends a command: the dialog parent and the lParam it gets.
struct CommandRoute {
  int dialogParent = 0;
  std::intptr_t lParam = 0;
  friend bool operator==(const CommandRoute&, const CommandRoute&) = default;
};

// Route of a WM_COMMAND identifier received by the tray window; none for commands
// the tray window does not forward.
std::optional<CommandRoute> RouteCommand(unsigned commandId, std::intptr_t lParam);

// The class name of the dialog parents' hidden windows, compared exactly, terminator
// included: `buffer` holds what GetClassNameW wrote, `capacity` its size in characters.
bool IsDialogParentClass(const wchar_t* buffer, std::size_t capacity);

// The tray icon's state: 0 (icon 101) while the service runs, 1 (icon 102) while not.
int IconStateIndex(bool serviceRunning);

// Whether `kind` of a WM_TRAY_NOTICE is one of the two notices; others are ignored.
bool IsNoticeKind(unsigned kind);

// What a click on the program's balloon does, decided by the last notice kind.
enum class BalloonClickAction { Nothing, OpenHelpPage, OpenUpdateWizard };
BalloonClickAction ActionOfBalloonClick(unsigned lastNoticeKind);

// The page that tells how to keep the program's icon in the notification area.
inline constexpr std::wstring_view kHelpPageAddress = L"https://quadrel.example/win-tray.html";

inline constexpr std::wstring_view kDialogParentClass = L"QDRLDP";
inline constexpr std::wstring_view kTrayWindowClass = L"QDRLGUI";

}  // namespace qdrl
