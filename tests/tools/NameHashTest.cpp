// The writer's name hash, checked against hand-computed CRC-32C values and the folding
// and decomposition rules directory records rely on.
#include <gtest/gtest.h>

#include "NameHash.h"

namespace apfsw {
namespace {

// CRC-32C of the code points of a name as 32-bit little-endian words, bit by bit, for
// names that need neither folding nor decomposition.
uint32_t ReferenceHash(const std::vector<uint32_t>& codePoints) {
  uint32_t crc = 0xFFFFFFFF;
  for (uint32_t cp : codePoints)
    for (int byte = 0; byte < 4; ++byte) {
      crc ^= (cp >> (8 * byte)) & 0xFF;
      for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0x82F63B78 : crc >> 1;
    }
  return crc & 0x3FFFFF;
}

TEST(NameHash, AsciiMatchesBitwiseCrc) {
  EXPECT_EQ(NameHash("abc", true), ReferenceHash({'a', 'b', 'c'}));
  EXPECT_EQ(NameHash("Read Me.txt", true), ReferenceHash({'R', 'e', 'a', 'd', ' ', 'M', 'e', '.', 't', 'x', 't'}));
}

TEST(NameHash, CaseFoldingOnlyWhenInsensitive) {
  EXPECT_EQ(NameHash("README", false), NameHash("readme", false));
  EXPECT_NE(NameHash("README", true), NameHash("readme", true));
  EXPECT_EQ(NameHash("\xC3\x89t\xC3\xA9", false), NameHash("\xC3\xA9t\xC3\xA9", false));  // Été / été
}

TEST(NameHash, DecomposesPrecomposedCharacters) {
  // U+00E9 and U+0065 U+0301 hash alike, on both kinds of volume.
  EXPECT_EQ(NameHash("\xC3\xA9", true), NameHash("e\xCC\x81", true));
  EXPECT_EQ(NameHash("\xC3\xA9", true), ReferenceHash({0x65, 0x301}));
  EXPECT_EQ(NameHash("\xC3\xA9", false), NameHash("e\xCC\x81", false));
}

TEST(NameHash, HangulSyllablesDecomposeAlgorithmically) {
  EXPECT_EQ(NameHash("\xEA\xB0\x81", true), ReferenceHash({0x1100, 0x1161, 0x11A8}));  // U+AC01
  EXPECT_EQ(NameHash("\xEA\xB0\x80", true), ReferenceHash({0x1100, 0x1161}));          // U+AC00
}

TEST(NameHash, SpecialFoldings) {
  EXPECT_EQ(NameHash("\xC3\x9F", false), NameHash("ss", false));        // U+00DF
  EXPECT_EQ(NameHash("\xCF\x91", false), NameHash("\xCE\xB8", false));  // U+03D1 like U+03B8
  EXPECT_NE(NameHash("\xC3\x9F", true), NameHash("ss", true));
}

TEST(NameHash, FourByteSequencesAndInvalidInput) {
  EXPECT_EQ(NameHash("\xF0\x9F\x98\x80", true), ReferenceHash({0x1F600}));
  EXPECT_FALSE(NameHash("\xC0\xAF", true));          // over-long '/'
  EXPECT_FALSE(NameHash("a\x80", true));             // lone continuation byte
  EXPECT_FALSE(NameHash("\xED\xA0\x80", true));      // encoded surrogate
  EXPECT_FALSE(NameHash("ab\xE2\x82", true));        // truncated at the end
}

TEST(NameHash, StopsAtZeroByte) {
  EXPECT_EQ(NameHash(std::string_view("ab\0cd", 5), true), NameHash("ab", true));
}

TEST(NameHash, CollisionSearchFindsEqualHashes) {
  const std::vector<std::string> names = FindHashCollisions("target", false, 2, "c");
  ASSERT_EQ(names.size(), 2u);
  for (const std::string& name : names) {
    EXPECT_NE(name, "target");
    EXPECT_EQ(NameHash(name, false), NameHash("target", false));
  }
  EXPECT_EQ(names, FindHashCollisions("target", false, 2, "c"));
}

}  // namespace
}  // namespace apfsw
