#include "Decisions.h"

#include <gtest/gtest.h>

#include "Messages.h"

namespace qdrl {
namespace {

constexpr OsVersion Windows10(std::uint32_t build) { return {10, 0, build, 2}; }

TEST(TrayFirstRun, EarlyWindows10BuildsGetTheRemovableMediaNoticeAndNoUpdateCheck) {
  for (std::uint32_t build : {10240u, 10586u, 14393u}) {
    const auto plan = PlanAfterStartup(true, Windows10(build));
    EXPECT_TRUE(plan.showRemovableMediaNotice) << build;
    EXPECT_FALSE(plan.runUpdateCheck) << build;
  }
}

TEST(TrayFirstRun, LaterBuildsAndOtherVersionsGetNothing) {
  for (const OsVersion os : {Windows10(14394), Windows10(19045), OsVersion{6, 3, 9600, 2},
                             OsVersion{10, 1, 100, 2}, OsVersion{11, 0, 14393, 2}}) {
    const auto plan = PlanAfterStartup(true, os);
    EXPECT_FALSE(plan.showRemovableMediaNotice) << os.major << "." << os.minor << "." << os.build;
    EXPECT_FALSE(plan.runUpdateCheck);
  }
}

TEST(TrayFirstRun, EveryLaterStartRunsTheUpdateCheckOnly) {
  const auto plan = PlanAfterStartup(false, Windows10(14393));
  EXPECT_FALSE(plan.showRemovableMediaNotice);
  EXPECT_TRUE(plan.runUpdateCheck);
}

TEST(TrayNotices, OnlyBitOneAsksForTheRemovableMediaNotice) {
  EXPECT_TRUE(WantsRemovableMediaNotice(2));
  EXPECT_TRUE(WantsRemovableMediaNotice(3));
  EXPECT_FALSE(WantsRemovableMediaNotice(1));
  EXPECT_FALSE(WantsRemovableMediaNotice(0));
  EXPECT_FALSE(WantsRemovableMediaNotice(4));
}

TEST(TrayCommandRouting, EachCommandGoesToItsDialogParent) {
  EXPECT_EQ(RouteCommand(ID_ABOUT, 7), (CommandRoute{DLG_PARENT_ABOUT, 0}));
  EXPECT_EQ(RouteCommand(ID_UPDATE_WIZARD, 7), (CommandRoute{DLG_PARENT_UPDATE, 0}));
  EXPECT_EQ(RouteCommand(ID_SHOW_NOTICES, 7), (CommandRoute{DLG_PARENT_NOTICES, 7}));
}

TEST(TrayCommandRouting, OtherCommandsAreNotForwarded) {
  EXPECT_FALSE(RouteCommand(0, 0).has_value());
  EXPECT_FALSE(RouteCommand(902, 2).has_value());
  EXPECT_FALSE(RouteCommand(32812, 0).has_value());
}

TEST(TrayNotices, OnlyTheTwoNoticeKindsShowABalloon) {
  EXPECT_TRUE(IsNoticeKind(NOTICE_ALREADY_RUNNING));
  EXPECT_TRUE(IsNoticeKind(NOTICE_UPDATE_AVAILABLE));
  for (unsigned kind : {0u, 3u, 0xFFFFFFFFu}) EXPECT_FALSE(IsNoticeKind(kind)) << kind;
}

TEST(TrayNotices, ABalloonClickFollowsTheLastNoticeKind) {
  EXPECT_EQ(ActionOfBalloonClick(NOTICE_ALREADY_RUNNING), BalloonClickAction::OpenHelpPage);
  EXPECT_EQ(ActionOfBalloonClick(NOTICE_UPDATE_AVAILABLE), BalloonClickAction::OpenUpdateWizard);
  // Before any notice the shell may still show a balloon of its own.
  EXPECT_EQ(ActionOfBalloonClick(0), BalloonClickAction::Nothing);
  EXPECT_EQ(ActionOfBalloonClick(3), BalloonClickAction::Nothing);
}

TEST(TrayNotices, TheHelpPageIsOnTheProductsSecureSite) {
  EXPECT_TRUE(kHelpPageAddress.starts_with(L"https://"));
  EXPECT_TRUE(kHelpPageAddress.ends_with(L"/win-tray.html"));
}

TEST(TrayIconState, RunningServiceShowsStateZero) {
  EXPECT_EQ(IconStateIndex(true), 0);
  EXPECT_EQ(IconStateIndex(false), 1);
}

TEST(TrayDialogParentClass, MatchesTheExactNameOnly) {
  const wchar_t exact[8] = L"QDRLDP";
  const wchar_t longer[8] = L"QDRLDPX";
  const wchar_t shorter[8] = L"QDRLD";
  const wchar_t otherCase[8] = L"qdrldp";
  EXPECT_TRUE(IsDialogParentClass(exact, 8));
  EXPECT_FALSE(IsDialogParentClass(longer, 8));
  EXPECT_FALSE(IsDialogParentClass(shorter, 8));
  EXPECT_FALSE(IsDialogParentClass(otherCase, 8));
  EXPECT_FALSE(IsDialogParentClass(nullptr, 8));
  EXPECT_FALSE(IsDialogParentClass(exact, 6)) << "a buffer without room for the terminator";
}

}  // namespace
}  // namespace qdrl
