#include "NameHash.h"

#include <array>
#include <cstring>
#include <stdexcept>

#include "UnicodeTables.h"

namespace apfsw {

namespace {

constexpr uint32_t kHangulFirst = 0xAC00, kHangulLast = 0xD7A3;
constexpr uint32_t kHangulLeadBase = 0x1100, kHangulVowelBase = 0x1161,
                   kHangulTrailBase = 0x11A7;
constexpr uint32_t kHangulVowelTrailCount = 588, kHangulTrailCount = 28;

constexpr uint32_t kCrcInitial = 0xFFFFFFFF;
constexpr uint32_t kHashMask = 0x3FFFFF;

struct CodePoints {
  std::array<uint32_t, DECOMP_MAX> cp{};
  size_t count = 0;
};

// Decodes the sequence starting at `pos` (a non-ASCII lead byte); -1 when invalid.
int64_t DecodeUtf8(std::string_view s, size_t& pos) {
  const uint8_t lead = static_cast<uint8_t>(s[pos]);
  size_t length;
  uint32_t cp;
  if (lead >= 0xC0 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    length = 4, cp = lead & 0x07;
  } else {
    return -1;
  }
  if (pos + length > s.size()) return -1;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t c = static_cast<uint8_t>(s[pos + i]);
    if (c < 0x80 || c > 0xBF) return -1;
    cp = cp << 6 | (c & 0x3F);
  }
  static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return -1;
  pos += length;
  return cp;
}

uint32_t FoldCase(uint32_t cp) {
  if (cp >= LOWER_LIMIT) return cp;
  return static_cast<uint32_t>(static_cast<int32_t>(cp) +
                               LowerDeltas[LowerBlocks[LowerIndex[cp >> 6]][cp & 63]]);
}

CodePoints Decompose(uint32_t cp) {
  CodePoints out;
  if (cp >= kHangulFirst && cp <= kHangulLast) {
    const uint32_t s = cp - kHangulFirst;
    out.cp[out.count++] = kHangulLeadBase + s / kHangulVowelTrailCount;
    out.cp[out.count++] = kHangulVowelBase + (s % kHangulVowelTrailCount) / kHangulTrailCount;
    if (s % kHangulTrailCount != 0) out.cp[out.count++] = kHangulTrailBase + s % kHangulTrailCount;
    return out;
  }
  const uint16_t entry = cp >= DECOMP_FIRST && cp < DECOMP_LIMIT
                             ? DecompBlocks[DecompIndex[cp >> 6]][cp & 63]
                             : uint16_t{0};
  if (entry == 0) {
    out.cp[out.count++] = cp;
    return out;
  }
  const size_t count = (entry >> 14) + 1u;
  const size_t start = entry & 0x3FFF;
  for (size_t i = 0; i < count; ++i) out.cp[out.count++] = DecompCodePoints[DecompRuns[start + i]];
  return out;
}

// Applies the case-insensitive volume's folding to a decomposed character.
void FoldDecomposition(uint32_t original, CodePoints& points) {
  if (original == 0x03D1) {
    points.cp[0] = 0x03B8;
  } else if (original == 0x1FC2) {
    points.cp[2] = 0x03B9;
  } else if (original == 0x00DF) {
    points.cp[0] = 0x73, points.cp[1] = 0x73, points.count = 2;
  } else {
    points.cp[0] = FoldCase(points.cp[0]);
  }
}

uint32_t CrcCodePoint(uint32_t crc, uint32_t cp) {
  for (int i = 0; i < 4; ++i) crc = Crc32cTable[(crc ^ (cp >> (8 * i))) & 0xFF] ^ (crc >> 8);
  return crc;
}

// Steps a base-36 counter kept as its digits, most significant first.
void Increment(std::string& digits) {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (size_t i = digits.size(); i-- > 0;) {
    const char* at = std::strchr(kDigits, digits[i]);
    if (at[1] != '\0') {
      digits[i] = at[1];
      return;
    }
    digits[i] = '0';
  }
  digits.insert(digits.begin(), '1');
}

// Runs the CRC register over a name; nothing for an invalid UTF-8 sequence.
std::optional<uint32_t> HashUpdate(uint32_t crc, std::string_view name, bool caseSensitive) {
  size_t pos = 0;
  while (pos < name.size() && name[pos] != '\0') {
    const uint8_t byte = static_cast<uint8_t>(name[pos]);
    if (byte < 0x80) {
      const uint32_t cp = !caseSensitive && byte >= 'A' && byte <= 'Z' ? byte + 0x20u : byte;
      crc = CrcCodePoint(crc, cp);
      ++pos;
      continue;
    }
    const int64_t decoded = DecodeUtf8(name, pos);
    if (decoded < 0) return std::nullopt;
    const uint32_t cp = static_cast<uint32_t>(decoded);
    CodePoints points = Decompose(cp);
    if (!caseSensitive) FoldDecomposition(cp, points);
    for (size_t i = 0; i < points.count; ++i) crc = CrcCodePoint(crc, points.cp[i]);
  }
  return crc;
}

}  // namespace

std::optional<uint32_t> NameHash(std::string_view name, bool caseSensitive) {
  const std::optional<uint32_t> crc = HashUpdate(kCrcInitial, name, caseSensitive);
  if (!crc) return std::nullopt;
  return *crc & kHashMask;
}

std::vector<std::string> FindHashCollisions(std::string_view name, bool caseSensitive,
                                            size_t count, std::string_view prefix) {
  const std::optional<uint32_t> target = NameHash(name, caseSensitive);
  const std::optional<uint32_t> prefixCrc = HashUpdate(kCrcInitial, prefix, caseSensitive);
  if (!target || !prefixCrc) throw std::runtime_error("collision search: name is not valid UTF-8");
  std::vector<std::string> found;
  // Only the counter's digits need hashing: the register after the prefix is kept.
  for (std::string digits = "0"; found.size() < count; Increment(digits)) {
    const std::optional<uint32_t> crc = HashUpdate(*prefixCrc, digits, caseSensitive);
    if ((*crc & kHashMask) != *target) continue;
    std::string candidate = std::string(prefix) + digits;
    if (candidate != name) found.push_back(std::move(candidate));
  }
  return found;
}

}  // namespace apfsw
