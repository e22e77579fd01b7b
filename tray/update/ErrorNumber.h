// Error numbers of the network and file layers: category << 16 | 1-based index, and
// the string-table entries that hold their texts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace qdrl {

using ErrorNumber = std::uint32_t;

inline constexpr ErrorNumber kErrorCancelled = 0;
inline constexpr ErrorNumber kErrorNotAvailable = 0xFFFFFFFF;  // text "n/a"

constexpr ErrorNumber MakeErrorNumber(std::uint16_t category, std::uint16_t index) {
  return (ErrorNumber{category} << 16) | index;
}

// One category's texts: indexes 1..ids.size() map to the listed string-table ids.
struct ErrorCategory {
  std::uint16_t category;
  std::span<const std::uint16_t> ids;
};

// Every category, in the order start-up loads their texts.
std::span<const ErrorCategory> ErrorCategories();

// The string-table id of an error number's text; none for 0 (cancelled, empty text)
// and for unknown categories or indexes (also an empty text).
std::optional<std::uint16_t> ErrorTextId(ErrorNumber error);

}  // namespace qdrl
