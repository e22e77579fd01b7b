// Names: the UTF-8 decoder, lower-case mapping, canonical decomposition, the CRC-32C
// name hash that keys directory records, and name comparison.
#include "ApfsProcs.h"
#include "UnicodeTables.h"

namespace {

constexpr uint32_t HANGUL_FIRST = 0xAC00;
constexpr uint32_t HANGUL_LAST = 0xD7A3;
constexpr uint32_t HANGUL_L_BASE = 0x1100;
constexpr uint32_t HANGUL_V_BASE = 0x1161;
constexpr uint32_t HANGUL_T_BASE = 0x11A7;
constexpr uint32_t HANGUL_V_COUNT = 21;
constexpr uint32_t HANGUL_T_COUNT = 28;

uint32_t LowerAscii(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// The code points a name character contributes to the hash.
uint32_t HashCodePoints(uint32_t c, bool caseSensitive, uint32_t out[DECOMP_MAX]) {
  uint32_t count;
  if (c >= HANGUL_FIRST && c <= HANGUL_LAST) {
    const uint32_t s = c - HANGUL_FIRST;
    out[0] = HANGUL_L_BASE + s / (HANGUL_V_COUNT * HANGUL_T_COUNT);
    out[1] = HANGUL_V_BASE + (s % (HANGUL_V_COUNT * HANGUL_T_COUNT)) / HANGUL_T_COUNT;
    count = 2;
    if (s % HANGUL_T_COUNT != 0) out[count++] = HANGUL_T_BASE + s % HANGUL_T_COUNT;
  } else {
    count = Decompose(c, out);
  }
  if (caseSensitive) return count;
  // Exceptions where the stored hashes fold differently from the simple mapping.
  if (c == 0x03D1) {
    out[0] = 0x03B8;
  } else if (c == 0x1FC2) {
    if (count >= 3) out[2] = 0x03B9;
  } else if (c == 0x00DF) {
    out[0] = 0x73;
    out[1] = 0x73;
    count = 2;
  } else {
    out[0] = FoldCase(out[0]);
  }
  return count;
}

// Next code point of a name for comparison, or -1 for an invalid sequence.
int32_t NextComparable(const uint8_t** cursor, const uint8_t* end, bool caseSensitive) {
  const uint8_t lead = *(*cursor)++;
  if (lead < 0x80) return int32_t(caseSensitive ? lead : LowerAscii(lead));
  const int32_t c = Utf8Decode(lead, cursor, end);
  if (c < 0 || caseSensitive) return c;
  return int32_t(FoldCase(uint32_t(c)));
}

bool AtNameEnd(const uint8_t* cursor, const uint8_t* end) { return cursor == end || *cursor == 0; }

}  // namespace

int32_t Utf8Decode(uint8_t lead, const uint8_t** cursor, const uint8_t* end) {
  uint32_t length;
  uint32_t c;
  uint32_t minimum;
  if (lead >= 0xC0 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    return -1;
  }
  const uint8_t* p = *cursor;
  if (size_t(end - p) < length - 1) return -1;
  for (uint32_t i = 1; i < length; i++, p++) {
    if ((*p & 0xC0) != 0x80) return -1;
    c = c << 6 | (*p & 0x3F);
  }
  if (c < minimum || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return -1;
  *cursor = p;
  return int32_t(c);
}

uint32_t FoldCase(uint32_t codePoint) {
  if (codePoint >= LOWER_LIMIT) return codePoint;
  const uint8_t block = LowerIndex[codePoint >> 6];
  return uint32_t(int32_t(codePoint) + LowerDeltas[LowerBlocks[block][codePoint & 63]]);
}

uint32_t Decompose(uint32_t codePoint, uint32_t out[DECOMP_MAX]) {
  uint16_t entry = 0;
  if (codePoint >= DECOMP_FIRST && codePoint < DECOMP_LIMIT) {
    entry = DecompBlocks[DecompIndex[codePoint >> 6]][codePoint & 63];
  }
  if (entry == 0) {
    out[0] = codePoint;
    return 1;
  }
  const uint32_t count = (entry >> 14) + 1;
  const uint16_t* run = DecompRuns + (entry & 0x3FFF);
  for (uint32_t i = 0; i < count; i++) out[i] = DecompCodePoints[run[i]];
  return count;
}

uint32_t Crc32cUpdate(uint32_t crc, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; i++) crc = Crc32cTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

bool NameHash(const uint8_t* name, uint32_t length, bool caseSensitive, uint32_t* hash) {
  uint32_t crc = 0xFFFFFFFF;
  const uint8_t* cursor = name;
  const uint8_t* end = name + length;
  while (!AtNameEnd(cursor, end)) {
    const uint8_t lead = *cursor++;
    uint32_t points[DECOMP_MAX];
    uint32_t count = 1;
    if (lead < 0x80) {
      points[0] = caseSensitive ? lead : LowerAscii(lead);
    } else {
      const int32_t c = Utf8Decode(lead, &cursor, end);
      if (c < 0) return false;
      count = HashCodePoints(uint32_t(c), caseSensitive, points);
    }
    for (uint32_t i = 0; i < count; i++) {
      const uint8_t le[4] = {uint8_t(points[i]), uint8_t(points[i] >> 8),
                             uint8_t(points[i] >> 16), uint8_t(points[i] >> 24)};
      crc = Crc32cUpdate(crc, le, 4);
    }
  }
  *hash = crc & NAME_HASH_MASK;
  return true;
}

bool NameEqual(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength,
               bool caseSensitive) {
  const uint8_t* aEnd = a + aLength;
  const uint8_t* bEnd = b + bLength;
  while (!AtNameEnd(a, aEnd) && !AtNameEnd(b, bEnd)) {
    const int32_t ca = NextComparable(&a, aEnd, caseSensitive);
    const int32_t cb = NextComparable(&b, bEnd, caseSensitive);
    if (ca < 1 || cb < 1 || ca != cb) return false;
  }
  // Both names must run out together: a folded character may be shorter or longer in
  // bytes than its counterpart, so equal byte lengths alone prove nothing.
  return AtNameEnd(a, aEnd) && AtNameEnd(b, bEnd) && aLength == bLength;
}
