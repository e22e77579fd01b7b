#include "Decisions.h"

#include "Messages.h"

namespace qdrl {

namespace {
constexpr std::uint32_t kLastLimitedWindows10Build = 14393;
}

FirstRunPlan PlanAfterStartup(bool firstRun, const OsVersion& os) {
  if (!firstRun) return {.showRemovableMediaNotice = false, .runUpdateCheck = true};
  const bool earlyWindows10 =
      os.major == 10 && os.minor == 0 && os.build <= kLastLimitedWindows10Build;
  return {.showRemovableMediaNotice = earlyWindows10, .runUpdateCheck = false};
}

bool WantsRemovableMediaNotice(std::intptr_t noticeFlags) {
  return (noticeFlags & NOTICE_FLAG_REMOVABLE_MEDIA) != 0;
}

std::optional<CommandRoute> RouteCommand(unsigned commandId, std::intptr_t lParam) {
  switch (commandId) {
    case ID_UPDATE_WIZARD: return CommandRoute{DLG_PARENT_UPDATE, 0};
    case ID_SHOW_NOTICES: return CommandRoute{DLG_PARENT_NOTICES, lParam};
    case ID_ABOUT: return CommandRoute{DLG_PARENT_ABOUT, 0};
    default: return std::nullopt;
  }
}

int IconStateIndex(bool serviceRunning) { return serviceRunning ? 0 : 1; }

bool IsNoticeKind(unsigned kind) {
  return kind == NOTICE_ALREADY_RUNNING || kind == NOTICE_UPDATE_AVAILABLE;
}

BalloonClickAction ActionOfBalloonClick(unsigned lastNoticeKind) {
  switch (lastNoticeKind) {
    case NOTICE_ALREADY_RUNNING: return BalloonClickAction::OpenHelpPage;
    case NOTICE_UPDATE_AVAILABLE: return BalloonClickAction::OpenUpdateWizard;
    default: return BalloonClickAction::Nothing;  // e.g. a balloon the shell showed itself
  }
}

bool IsDialogParentClass(const wchar_t* buffer, std::size_t capacity) {
  // The terminator is part of the comparison, so a longer name such as "QDRLDPX"
  // never matches.
  if (buffer == nullptr || capacity < kDialogParentClass.size() + 1) return false;
  return std::wstring_view(buffer, kDialogParentClass.size()) == kDialogParentClass &&
         buffer[kDialogParentClass.size()] == L'\0';
}

}  // namespace qdrl
