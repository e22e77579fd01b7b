// Where a dialog opens: the positioning rules of the dialog framework, without
// Windows calls so that they can be tested natively.
#pragma once

#include <cstdint>
#include <optional>

namespace qdrl {

struct ScreenRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;

  std::int32_t Width() const { return right - left; }
  std::int32_t Height() const { return bottom - top; }
};

struct ScreenPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

// True when the dialog procedure positions a dialog of this window style itself: the
// style has none of child, visible, maximised, DS_CENTER, DS_CENTERMOUSE and
// DS_ABSALIGN, each of which means the dialog's place is decided elsewhere.
bool NeedsPlacement(std::uint32_t style);

// Top-left corner of a dialog whose window rectangle is `dialog`. With `center` set it
// is centered on `visibleOwner` (the owner's window rectangle, given only when the
// owner is visible and not minimised) or else on the work area; without, it keeps its
// place. Either way it is then moved inside the work area, the left and top edges
// winning when the dialog is larger than the work area.
ScreenPoint PlaceDialog(const ScreenRect& dialog, const ScreenRect& workArea,
                        const std::optional<ScreenRect>& visibleOwner, bool center);

}  // namespace qdrl
