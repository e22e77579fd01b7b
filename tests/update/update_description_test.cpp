// The update description file: a valid one read field by field, and every way the
// reader must refuse one while leaving the record it was given untouched.
#include "update/UpdateDescription.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "support/TempFolder.h"

namespace qdrl {
namespace {

constexpr std::size_t kBlock = 65535;

std::string BlockFile(std::string_view content) {
  std::string file;
  for (std::size_t at = 0; at < content.size(); at += kBlock) {
    const auto data = content.substr(at, kBlock);
    unsigned char digest[16];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    file.append(reinterpret_cast<char*>(digest), 16);
    file += data;
  }
  return file;
}

std::string Uint32(std::uint32_t value) {
  return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
          static_cast<char>(value >> 24)};
}

std::string Counted(std::u16string_view text) {
  std::string bytes = Uint32(static_cast<std::uint32_t>(text.size()));
  for (const char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// The fields of a valid description, in file order.
std::vector<std::string> ValidFields() {
  return {"$AUD",
          "100",
          Uint32(1) + Uint32(2) + Uint32(3) + Uint32(4),
          Counted(u"Quadrel 1.23 \u00fcber alles"),
          Counted(u""),
          std::string(16, '\x5A'),
          Counted(u"https://example.test/qdrl-setup.exe"),
          std::string("0123456789abcdef"),
          Counted(u"exe"),
          std::string(8192, 'A'),
          std::string(8192, 'B')};
}

std::string Join(const std::vector<std::string>& fields) {
  std::string joined;
  for (const auto& field : fields) joined += field;
  return joined;
}

class TrayUpdateDescription : public ::testing::Test {
 protected:
  // Reads a description file holding `content`; the record starts as a marker.
  bool Read(const std::string& content, std::string* reason = nullptr) {
    record_ = Marker();
    return ReadUpdateDescription(folder_.Write("update.pud", BlockFile(content)), record_, reason);
  }
  static UpdateDescription Marker() {
    UpdateDescription marker;
    marker.description = u"untouched";
    return marker;
  }
  void ExpectRefused(const std::string& content, const std::string& what) {
    std::string reason;
    EXPECT_FALSE(Read(content, &reason)) << what;
    EXPECT_EQ(record_.description, u"untouched") << what;
  }

  test::TempFolder folder_;
  UpdateDescription record_;
};

TEST_F(TrayUpdateDescription, ReadsEveryFieldOfAValidFile) {
  ASSERT_TRUE(Read(Join(ValidFields())));
  EXPECT_EQ(record_.version, (ProductVersion{1, 2, 3, 4}));
  EXPECT_EQ(record_.description, u"Quadrel 1.23 \u00fcber alles");
  EXPECT_EQ(record_.secondText, u"");
  EXPECT_EQ(record_.secondBlock[15], 0x5A);
  EXPECT_EQ(record_.downloadUrl, u"https://example.test/qdrl-setup.exe");
  EXPECT_EQ(record_.installerChecksum[0], '0');
  EXPECT_EQ(record_.installerChecksum[15], 'f');
  EXPECT_EQ(record_.installerExtension, u"exe");
  ASSERT_EQ(record_.tableA.size(), 8192u);
  EXPECT_EQ(record_.tableA.back(), 'A');
  ASSERT_EQ(record_.tableB.size(), 8192u);
  EXPECT_EQ(record_.tableB.front(), 'B');
}

TEST_F(TrayUpdateDescription, InstallerExtensionIsOneToEightLettersAndDigits) {
  for (const std::u16string_view good : {u"exe", u"MSI", u"x", u"abcd1234"}) {
    auto fields = ValidFields();
    fields[8] = Counted(good);
    EXPECT_TRUE(Read(Join(fields)));
    EXPECT_EQ(record_.installerExtension, good);
  }
  for (const std::u16string_view bad :
       {u"", u"exe\\..\\x", u"exe:stream", u"ex e", u"e.xe", u"abcd12345", u"ex\u00e9", u"exe/"}) {
    auto fields = ValidFields();
    fields[8] = Counted(bad);
    std::string reason;
    EXPECT_FALSE(Read(Join(fields), &reason)) << fields[8];
    EXPECT_EQ(reason, "The installer's file extension is not 1 to 8 letters and digits.");
    EXPECT_EQ(record_.description, u"untouched");
  }
}

TEST_F(TrayUpdateDescription, RefusesAnotherMagic) {
  auto fields = ValidFields();
  fields[0] = "$AUE";
  std::string reason;
  EXPECT_FALSE(Read(Join(fields), &reason));
  EXPECT_EQ(reason, "Not a valid PUD file.");
  EXPECT_EQ(record_.description, u"untouched");
}

TEST_F(TrayUpdateDescription, RefusesEveryFormatVersionBut100) {
  for (const std::string version : {"101", "10x", "099", " 10", "+10", "010"}) {
    auto fields = ValidFields();
    fields[1] = version;
    std::string reason;
    EXPECT_FALSE(Read(Join(fields), &reason)) << version;
    EXPECT_EQ(reason, "Unsupported .PUD file version '" + version + "'.");
    EXPECT_EQ(record_.description, u"untouched");
  }
}

TEST_F(TrayUpdateDescription, RefusesAFileCutShortAnywhere) {
  const auto fields = ValidFields();
  std::string content;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    // Cut before the field, inside it and just before its end.
    ExpectRefused(content, "before field " + std::to_string(i + 1));
    if (fields[i].size() > 1) {
      ExpectRefused(content + fields[i].substr(0, 1), "inside field " + std::to_string(i + 1));
      ExpectRefused(content + fields[i].substr(0, fields[i].size() - 1),
                    "end of field " + std::to_string(i + 1));
    }
    content += fields[i];
  }
  EXPECT_TRUE(Read(content));
}

TEST_F(TrayUpdateDescription, RefusesCountsLargerThanTheFile) {
  for (const std::size_t field : {3u, 4u, 6u, 8u}) {
    for (const std::uint32_t count : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 20000u}) {
      auto fields = ValidFields();
      fields[field] = Uint32(count) + fields[field].substr(4);
      ExpectRefused(Join(fields), "field " + std::to_string(field + 1) + " count " + std::to_string(count));
    }
  }
}

TEST_F(TrayUpdateDescription, RefusesAChangedDataByteAnywhere) {
  const std::string good = BlockFile(Join(ValidFields()));
  for (const std::size_t at : {std::size_t{16}, std::size_t{20}, std::size_t{60}, good.size() - 1}) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x20);
    record_ = Marker();
    EXPECT_FALSE(ReadUpdateDescription(folder_.Write("bad.pud", bad), record_)) << at;
    EXPECT_EQ(record_.description, u"untouched");
  }
}

TEST_F(TrayUpdateDescription, MissingFileIsAFailure) {
  std::string reason;
  record_ = Marker();
  EXPECT_FALSE(ReadUpdateDescription(folder_.Path() / "none.pud", record_, &reason));
  EXPECT_EQ(reason, "file system error 2");
  EXPECT_EQ(record_.description, u"untouched");
}

}  // namespace
}  // namespace qdrl
