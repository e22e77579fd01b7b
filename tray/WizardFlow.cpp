#include "WizardFlow.h"

namespace qdrl {

std::optional<int> WizardButtonOfControl(unsigned controlId) {
  if (controlId < kFirstWizardButtonId || controlId >= kFirstWizardButtonId + kWizardButtonCount) {
    return std::nullopt;
  }
  return static_cast<int>(controlId - kFirstWizardButtonId);
}

std::optional<int> PageButtonOnWizardButton(int wizardButton, int pageButtons) {
  if (wizardButton < 0 || wizardButton >= kWizardButtonCount) return std::nullopt;
  const int pageButton = wizardButton + pageButtons - kWizardButtonCount;
  if (pageButton < 0) return std::nullopt;
  return pageButton;
}

WizardButtonPlan PlanWizardButtons(int pageButtons) {
  WizardButtonPlan plan;
  for (int button = 0; button < kWizardButtonCount; ++button) {
    plan[static_cast<std::size_t>(button)] = PageButtonOnWizardButton(button, pageButtons);
  }
  return plan;
}

std::optional<int> FirstUsedWizardButton(int pageButtons) {
  if (pageButtons <= 0) return std::nullopt;
  // A page with more buttons than the wizard has starts at the leftmost one.
  return pageButtons >= kWizardButtonCount ? 0 : kWizardButtonCount - pageButtons;
}

std::optional<WizardPager::Change> WizardPager::Show(std::size_t page) {
  if (page >= pageCount_) return std::nullopt;
  Change change{current_, page};
  current_ = page;
  return change;
}

}  // namespace qdrl
