// The wizard's page flow and button arithmetic, without Windows calls so that they
// can be tested natively. The wizard has five buttons, left to right; a page with n
// buttons uses the last n of them, so its button k sits on wizard button k + 5 - n.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

namespace qdrl {

inline constexpr int kWizardButtonCount = 5;
inline constexpr unsigned kFirstWizardButtonId = 1161;  // the buttons are 1161 to 1165

// Index 0 to 4 of the wizard button with this control identifier.
std::optional<int> WizardButtonOfControl(unsigned controlId);

// The page button that wizard button `wizardButton` carries for a page with
// `pageButtons` buttons; none when that wizard button is unused (hidden, disabled).
std::optional<int> PageButtonOnWizardButton(int wizardButton, int pageButtons);

// For each wizard button, the page button it carries (none: hidden and disabled).
using WizardButtonPlan = std::array<std::optional<int>, kWizardButtonCount>;
WizardButtonPlan PlanWizardButtons(int pageButtons);

// The leftmost wizard button in use for a page with `pageButtons` buttons; none for a
// page without buttons.
std::optional<int> FirstUsedWizardButton(int pageButtons);

// Which page of the wizard's list is current: none before the first is shown.
class WizardPager {
 public:
  explicit WizardPager(std::size_t pageCount) : pageCount_(pageCount) {}

  std::optional<std::size_t> Current() const { return current_; }

  // What showing a page does: hide the page that was current, if any, then show it.
  struct Change {
    std::optional<std::size_t> hide;
    std::size_t show = 0;
  };
  // Makes `page` current; none (and nothing changes) when the list has no such page.
  std::optional<Change> Show(std::size_t page);

 private:
  std::size_t pageCount_;
  std::optional<std::size_t> current_;
};

}  // namespace qdrl
