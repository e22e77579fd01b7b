#include "WizardFlow.h"

#include <gtest/gtest.h>

namespace qdrl {
namespace {

constexpr auto kHidden = std::nullopt;

TEST(TrayWizardButtons, APageWithThreeButtonsUsesTheLastThree) {
  EXPECT_EQ(PlanWizardButtons(3), (WizardButtonPlan{kHidden, kHidden, 0, 1, 2}));
  EXPECT_EQ(FirstUsedWizardButton(3), 2);  // control 1163
}

TEST(TrayWizardButtons, APageWithOneButtonUsesOnlyTheLast) {
  EXPECT_EQ(PlanWizardButtons(1), (WizardButtonPlan{kHidden, kHidden, kHidden, kHidden, 0}));
  EXPECT_EQ(FirstUsedWizardButton(1), 4);  // control 1165
}

TEST(TrayWizardButtons, FullEmptyAndOverfullPages) {
  EXPECT_EQ(PlanWizardButtons(5), (WizardButtonPlan{0, 1, 2, 3, 4}));
  EXPECT_EQ(FirstUsedWizardButton(5), 0);
  EXPECT_EQ(PlanWizardButtons(0), (WizardButtonPlan{}));
  EXPECT_FALSE(FirstUsedWizardButton(0).has_value()) << "no button to disable or focus";
  // More texts than buttons: the first ones have no button.
  EXPECT_EQ(PlanWizardButtons(7), (WizardButtonPlan{2, 3, 4, 5, 6}));
  EXPECT_EQ(FirstUsedWizardButton(7), 0);
}

TEST(TrayWizardButtons, APressReachesThePageButtonItCarries) {
  // Controls 1161 to 1165 are wizard buttons 0 to 4.
  EXPECT_EQ(WizardButtonOfControl(1161), 0);
  EXPECT_EQ(WizardButtonOfControl(1165), 4);
  for (unsigned other : {1160u, 1166u, 1167u, 1u, 2u}) {
    EXPECT_FALSE(WizardButtonOfControl(other).has_value()) << other;
  }
  // Three buttons: 1163 is the page's first, 1165 its third.
  EXPECT_EQ(PageButtonOnWizardButton(2, 3), 0);
  EXPECT_EQ(PageButtonOnWizardButton(4, 3), 2);
  // A press of a hidden button (only a posted command can make one) reaches nothing.
  EXPECT_FALSE(PageButtonOnWizardButton(1, 3).has_value());
  EXPECT_FALSE(PageButtonOnWizardButton(0, 1).has_value());
  EXPECT_FALSE(PageButtonOnWizardButton(5, 3).has_value());
  EXPECT_FALSE(PageButtonOnWizardButton(-1, 5).has_value());
}

TEST(TrayWizardPager, PagesFollowOneAnotherHidingTheOneBefore) {
  WizardPager pager(2);
  EXPECT_FALSE(pager.Current().has_value()) << "no page before the first is shown";

  auto first = pager.Show(0);
  ASSERT_TRUE(first.has_value());
  EXPECT_FALSE(first->hide.has_value());
  EXPECT_EQ(first->show, 0u);

  auto second = pager.Show(1);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->hide, 0u);
  EXPECT_EQ(second->show, 1u);
  EXPECT_EQ(pager.Current(), 1u);

  // Showing the current page again hides and shows it (its activation runs again).
  auto again = pager.Show(1);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->hide, 1u);
  EXPECT_EQ(pager.Current(), 1u);
}

TEST(TrayWizardPager, APageOutsideTheListChangesNothing) {
  WizardPager pager(2);
  EXPECT_FALSE(pager.Show(2).has_value());
  EXPECT_FALSE(pager.Current().has_value());
  ASSERT_TRUE(pager.Show(0).has_value());
  EXPECT_FALSE(pager.Show(5).has_value());
  EXPECT_EQ(pager.Current(), 0u);
  EXPECT_FALSE(WizardPager(0).Show(0).has_value());
}

}  // namespace
}  // namespace qdrl
