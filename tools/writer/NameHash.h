// The 22-bit hash of directory-record names: CRC-32C over the name's code points after
// canonical decomposition and, on case-insensitive volumes, case folding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace apfsw {

// The hash of a UTF-8 name; nothing for an invalid UTF-8 sequence. Stops at a zero byte.
std::optional<uint32_t> NameHash(std::string_view name, bool caseSensitive);

// Names other than `name`, built from `prefix` and a counter, whose hash equals that of
// `name`; the search is deterministic, so the same arguments give the same names.
std::vector<std::string> FindHashCollisions(std::string_view name, bool caseSensitive,
                                            size_t count, std::string_view prefix);

}  // namespace apfsw
