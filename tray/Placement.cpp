#include "Placement.h"

namespace qdrl {

namespace {

// WS_CHILD | WS_VISIBLE | WS_MAXIMIZE | DS_CENTERMOUSE | DS_CENTER | DS_ABSALIGN
constexpr std::uint32_t kPlacedElsewhere = 0x51001801;

// Start of a span of `length` centered on [low, high), as integer division gives it.
std::int32_t CenteredStart(std::int32_t low, std::int32_t high, std::int32_t length) {
  return (low + high) / 2 - length / 2;
}

// Moves a span of `length` starting at `start` inside [low, high).
std::int32_t KeptInside(std::int32_t start, std::int32_t length, std::int32_t low,
                        std::int32_t high) {
  if (start < low) return low;
  if (start + length > high) return high - length;
  return start;
}

}  // namespace

bool NeedsPlacement(std::uint32_t style) { return (style & kPlacedElsewhere) == 0; }

ScreenPoint PlaceDialog(const ScreenRect& dialog, const ScreenRect& workArea,
                        const std::optional<ScreenRect>& visibleOwner, bool center) {
  ScreenPoint corner{dialog.left, dialog.top};
  if (center) {
    const ScreenRect& reference = visibleOwner ? *visibleOwner : workArea;
    corner.x = CenteredStart(reference.left, reference.right, dialog.Width());
    corner.y = CenteredStart(reference.top, reference.bottom, dialog.Height());
  }
  corner.x = KeptInside(corner.x, dialog.Width(), workArea.left, workArea.right);
  corner.y = KeptInside(corner.y, dialog.Height(), workArea.top, workArea.bottom);
  return corner;
}

}  // namespace qdrl
