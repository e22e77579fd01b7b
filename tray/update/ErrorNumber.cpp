#include "ErrorNumber.h"

#include <array>

namespace qdrl {

namespace {

template <std::size_t N>
constexpr std::array<std::uint16_t, N> ConsecutiveIds(std::uint16_t first) {
  std::array<std::uint16_t, N> ids{};
  for (std::size_t i = 0; i < N; ++i) ids[i] = static_cast<std::uint16_t>(first + i);
  return ids;
}

// Socket-layer texts run from 550 to 568 but skip 563.
constexpr std::array<std::uint16_t, 18> SocketLayerIds() {
  std::array<std::uint16_t, 18> ids{};
  std::uint16_t id = 550;
  for (auto& slot : ids) {
    if (id == 563) ++id;
    slot = id++;
  }
  return ids;
}

constexpr auto kWinsockIds = ConsecutiveIds<41>(500);
constexpr auto kSocketLayerIds = SocketLayerIds();
constexpr auto kTlsIds = ConsecutiveIds<4>(580);
constexpr auto kHttpStatusIds = ConsecutiveIds<23>(720);
// Transfer texts run from 820 to 826, then 828 (827 is the data file's).
constexpr std::array<std::uint16_t, 8> kTransferIds{820, 821, 822, 823, 824, 825, 826, 828};
constexpr auto kUrlIds = ConsecutiveIds<5>(800);
constexpr std::array<std::uint16_t, 1> kDataFileIds{827};

constexpr std::array<ErrorCategory, 7> kCategories{{
    {1, kWinsockIds},
    {2, kSocketLayerIds},
    {3, kTlsIds},
    {7, kHttpStatusIds},
    {8, kTransferIds},
    {9, kUrlIds},
    {10, kDataFileIds},
}};

constexpr std::uint16_t kNotAvailableTextId = 499;

}  // namespace

std::span<const ErrorCategory> ErrorCategories() { return kCategories; }

std::optional<std::uint16_t> ErrorTextId(ErrorNumber error) {
  if (error == kErrorNotAvailable) return kNotAvailableTextId;
  const auto category = static_cast<std::uint16_t>(error >> 16);
  const auto index = static_cast<std::uint16_t>(error & 0xFFFF);
  for (const auto& entry : kCategories) {
    if (entry.category == category && index >= 1 && index <= entry.ids.size()) {
      return entry.ids[index - 1];
    }
  }
  return std::nullopt;
}

}  // namespace qdrl
