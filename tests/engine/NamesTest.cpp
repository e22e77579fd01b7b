// Name hashing, decoding, case folding, decomposition and comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ApfsProcs.h"

namespace {

const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// CRC-32C computed bit by bit, independent of the engine's table.
uint32_t ReferenceHash(const std::vector<uint32_t>& codePoints) {
  uint32_t crc = 0xFFFFFFFF;
  for (uint32_t c : codePoints) {
    for (int i = 0; i < 4; i++) {
      crc ^= (c >> (8 * i)) & 0xFF;
      for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0x82F63B78 & (0u - (crc & 1)));
    }
  }
  return crc & NAME_HASH_MASK;
}

uint32_t Hash(const std::string& name, bool caseSensitive) {
  uint32_t hash = 0xFFFFFFFF;
  EXPECT_TRUE(NameHash(U(name), uint32_t(name.size()), caseSensitive, &hash)) << name;
  return hash;
}

bool HashFails(const std::string& name) {
  uint32_t hash;
  return !NameHash(U(name), uint32_t(name.size()), false, &hash) &&
         !NameHash(U(name), uint32_t(name.size()), true, &hash);
}

bool Equal(const std::string& stored, const std::string& requested, bool caseSensitive) {
  return NameEqual(U(stored), uint32_t(stored.size()), U(requested), uint32_t(requested.size()),
                   caseSensitive);
}

int32_t Decode(const std::string& bytes, size_t* consumed) {
  const uint8_t* cursor = U(bytes) + 1;
  const int32_t c = Utf8Decode(U(bytes)[0], &cursor, U(bytes) + bytes.size());
  *consumed = size_t(cursor - U(bytes));
  return c;
}

TEST(Utf8Decode, DecodesEverySequenceLengthAndRefusesMalformedOnes) {
  size_t consumed;
  EXPECT_EQ(Decode("\xC3\xA9", &consumed), 0xE9);
  EXPECT_EQ(consumed, 2u);
  EXPECT_EQ(Decode("\xE2\x84\xAA", &consumed), 0x212A);
  EXPECT_EQ(Decode("\xF0\x9F\x98\x80", &consumed), 0x1F600);
  EXPECT_EQ(consumed, 4u);
  EXPECT_EQ(Decode("\xF4\x8F\xBF\xBF", &consumed), 0x10FFFF);

  for (const std::string bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // over-long
                                "\x80\x80", "\xBF",                               // continuations
                                "\xED\xA0\x80", "\xED\xBF\xBF",                   // surrogates
                                "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",       // too large
                                "\xC3\x28", "\xE2\x28\xA1"}) {                    // bad trailers
    EXPECT_EQ(Decode(bad, &consumed), -1) << testing::PrintToString(bad);
  }
  EXPECT_EQ(Decode("\xE2\x84", &consumed), -1);  // truncated at the end
  EXPECT_EQ(consumed, 1u) << "the cursor stays after the lead byte";
}

TEST(FoldCase, MapsByTheUnicode63TablesOnly) {
  EXPECT_EQ(FoldCase('A'), uint32_t('a'));
  EXPECT_EQ(FoldCase('z'), uint32_t('z'));
  EXPECT_EQ(FoldCase(0xC9), 0xE9u);
  EXPECT_EQ(FoldCase(0x391), 0x3B1u);    // Greek capital alpha
  EXPECT_EQ(FoldCase(0x212A), 0x6Bu);    // Kelvin sign
  EXPECT_EQ(FoldCase(0x2126), 0x3C9u);   // Ohm sign
  EXPECT_EQ(FoldCase(0x130), 0x69u);     // capital I with dot above
  EXPECT_EQ(FoldCase(0x10400), 0x10428u);
  EXPECT_EQ(FoldCase(0x10428), 0x10428u);  // at the table's limit
  EXPECT_EQ(FoldCase(0x13A0), 0x13A0u);  // Cherokee gained lower case after 6.3
  EXPECT_EQ(FoldCase(0xA7AD), 0xA7ADu);  // assigned after 6.3
  EXPECT_EQ(FoldCase(0x1E9E), 0xDFu);    // capital sharp s
}

TEST(Decompose, AppliesCanonicalDecompositionRecursively) {
  uint32_t out[4];
  ASSERT_EQ(Decompose(0xE9, out), 2u);
  EXPECT_EQ(out[0], 0x65u);
  EXPECT_EQ(out[1], 0x301u);
  ASSERT_EQ(Decompose(0x1E69, out), 3u);  // s with dot below and dot above
  EXPECT_EQ(std::vector<uint32_t>(out, out + 3), (std::vector<uint32_t>{0x73, 0x323, 0x307}));
  ASSERT_EQ(Decompose(0x1FC2, out), 3u);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 3), (std::vector<uint32_t>{0x3B7, 0x300, 0x345}));
  ASSERT_EQ(Decompose(0x212B, out), 2u);  // Angstrom sign: A with ring above
  EXPECT_EQ(out[0], 0x41u);
  EXPECT_EQ(Decompose('A', out), 1u);
  EXPECT_EQ(Decompose(0xFB01, out), 1u) << "compatibility mappings take no part";
  EXPECT_EQ(Decompose(0xAC01, out), 1u) << "Hangul is decomposed arithmetically";
  ASSERT_EQ(Decompose(0x2FA1D, out), 1u);
  EXPECT_EQ(out[0], 0x2A600u);
}

TEST(Crc32c, MatchesTheStandardCheckValue) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc32cUpdate(0xFFFFFFFF, U(digits), digits.size()) ^ 0xFFFFFFFF, 0xE3069283u);
}

TEST(NameHash, HashesFoldedDecomposedCodePoints) {
  EXPECT_EQ(Hash("Hello", false), ReferenceHash({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(Hash("Hello", true), ReferenceHash({'H', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(Hash("\xC3\x89", false), ReferenceHash({0x65, 0x301}));  // É
  EXPECT_EQ(Hash("\xC3\x89", true), ReferenceHash({0x45, 0x301}));
  // Only the first code point of a decomposition is folded.
  EXPECT_EQ(Hash("\xE1\xBF\x82", false), ReferenceHash({0x3B7, 0x300, 0x3B9}));
}

TEST(NameHash, CaseInsensitiveHashesFoldAndSensitiveOnesDoNot) {
  EXPECT_EQ(Hash("README.TXT", false), Hash("readme.txt", false));
  EXPECT_NE(Hash("README.TXT", true), Hash("readme.txt", true));
  EXPECT_EQ(Hash("\xC3\x9F", false), Hash("ss", false));          // ß
  EXPECT_EQ(Hash("\xCF\x91", false), Hash("\xCE\xB8", false));    // ϑ hashes as θ
  EXPECT_NE(Hash("\xC3\x9F", true), Hash("ss", true));
  EXPECT_EQ(Hash("\xE2\x84\xAA", false), Hash("k", false));       // Kelvin sign
}

TEST(NameHash, PrecomposedAndDecomposedFormsHashAlike) {
  EXPECT_EQ(Hash("caf\xC3\xA9", false), Hash("cafe\xCC\x81", false));
  EXPECT_EQ(Hash("caf\xC3\xA9", true), Hash("cafe\xCC\x81", true));
  EXPECT_FALSE(Equal("caf\xC3\xA9", "cafe\xCC\x81", false));
  EXPECT_EQ(Hash("\xEA\xB0\x81", true), Hash("\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", true));
  EXPECT_EQ(Hash("\xEA\xB0\x81", true), ReferenceHash({0x1100, 0x1161, 0x11A8}));
  EXPECT_EQ(Hash("\xEA\xB0\x80", true), ReferenceHash({0x1100, 0x1161}));  // no final jamo
}

TEST(NameHash, InvalidSequencesFailAndAZeroByteEndsTheName) {
  EXPECT_TRUE(HashFails("a\xC0\xAF"));
  EXPECT_TRUE(HashFails("\x80"));
  EXPECT_TRUE(HashFails("x\xED\xA0\x80"));
  EXPECT_TRUE(HashFails("ab\xE2\x84"));
  const std::string withZero("ab\0cd", 5);
  EXPECT_EQ(Hash(withZero, true), Hash("ab", true));
  EXPECT_EQ(Hash("", true), ReferenceHash({}));
}

TEST(NameEqual, ComparesFoldedCodePointsWithoutDecomposing) {
  EXPECT_TRUE(Equal("Readme", "README", false));
  EXPECT_FALSE(Equal("Readme", "README", true));
  EXPECT_TRUE(Equal("\xC3\x89" "cole", "\xC3\xA9" "COLE", false));
  EXPECT_FALSE(Equal("\xE2\x84\xAA", "k", false)) << "Kelvin sign: byte lengths differ";
  EXPECT_FALSE(Equal("abc", "abd", false));
  EXPECT_FALSE(Equal("a\xC0\xAF", "a\xC0\xAF", true)) << "invalid names never match";
  EXPECT_FALSE(Equal("\x80", "\x80", false));
}

TEST(NameEqual, NamesMustEndTogether) {
  // Ω (3 bytes) folds to ω (2 bytes): "ωa" has the same byte length but one more letter.
  EXPECT_FALSE(Equal("\xE2\x84\xA6", "\xCF\x89" "a", false));
  EXPECT_FALSE(Equal("\xCF\x89" "a", "\xE2\x84\xA6", false));
  EXPECT_FALSE(Equal("ab", "abc", true));
  EXPECT_FALSE(Equal("abc", "ab", true));
  EXPECT_TRUE(Equal(std::string("ab\0x", 4), std::string("ab\0y", 4), true))
      << "a zero byte ends both names";
  EXPECT_TRUE(Equal("", "", true));
}

}  // namespace
