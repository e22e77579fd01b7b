// Checksummed block files read through CSafeDataFileIn, built here with OpenSSL's own
// MD5 so that the reader's digest code is checked against it.
#include "update/SafeDataFile.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "support/TempFolder.h"

namespace qdrl {
namespace {

constexpr std::size_t kBlock = 65535;

std::string Md5Bytes(std::string_view data) {
  unsigned char digest[16];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), 16);
}

// The block file whose data is `content`.
std::string BlockFile(std::string_view content) {
  std::string file;
  for (std::size_t at = 0; at < content.size(); at += kBlock) {
    const auto data = content.substr(at, kBlock);
    file += Md5Bytes(data);
    file += data;
  }
  return file;
}

// Recognisable content: no block repeats another.
std::string Content(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return content;
}

class TraySafeDataFile : public ::testing::Test {
 protected:
  // Everything the reader yields with ExactRead-free reads of `piece` bytes.
  std::string ReadAll(const std::string& fileBytes, std::size_t piece = 1000) {
    CSafeDataFileIn file;
    file.Open(folder_.Write("data.bin", fileBytes), disk_file::kReadSharingRead);
    std::string out;
    std::string buffer(piece, '\0');
    for (;;) {
      const std::size_t got = file.Read(buffer.data(), piece);
      out.append(buffer.data(), got);
      if (got < piece) break;
    }
    return out;
  }

  ErrorNumber ReadFails(const std::string& fileBytes) {
    try {
      ReadAll(fileBytes);
    } catch (ErrorNumber error) {
      return error;
    }
    ADD_FAILURE() << "read succeeded";
    return 0;
  }

  test::TempFolder folder_;
};

TEST_F(TraySafeDataFile, ReadsEveryBoundarySizeBackWhole) {
  for (std::size_t size : {std::size_t{1}, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 2 * kBlock + 17}) {
    const std::string content = Content(size);
    EXPECT_TRUE(ReadAll(BlockFile(content)) == content) << size;
    EXPECT_TRUE(ReadAll(BlockFile(content), 70000) == content) << size;
    EXPECT_TRUE(ReadAll(BlockFile(content), 3 * kBlock) == content) << size;
  }
}

TEST_F(TraySafeDataFile, ReadsComeShortOnlyAtTheEnd) {
  const std::string content = Content(3 * kBlock);
  CSafeDataFileIn file;
  file.Open(folder_.Write("data.bin", BlockFile(content)), disk_file::kReadSharingRead);
  std::string buffer(3 * kBlock, '\0');
  EXPECT_EQ(file.Read(buffer.data(), 10), 10u);
  EXPECT_EQ(file.Read(buffer.data() + 10, 2 * kBlock), 2 * kBlock);
  ExactRead(file, buffer.data() + 10 + 2 * kBlock, kBlock - 20);
  EXPECT_EQ(file.Read(buffer.data() + 3 * kBlock - 10, 100), 10u);
  EXPECT_TRUE(buffer == content);
  EXPECT_EQ(file.Read(buffer.data(), 100), 0u);
}

TEST_F(TraySafeDataFile, AnEmptyFileHasNoData) { EXPECT_EQ(ReadAll(""), ""); }

TEST_F(TraySafeDataFile, StrayBytesAfterTheLastBlockAreDamage) {
  for (const std::size_t size : {std::size_t{100}, kBlock}) {
    const std::string file = BlockFile(Content(size));
    for (std::size_t stray = 1; stray <= 15; ++stray) {
      EXPECT_EQ(ReadFails(file + std::string(stray, 'x')), kErrorDataFileDamaged) << size << "+" << stray;
    }
  }
}

TEST_F(TraySafeDataFile, ADigestWithoutDataIsDamage) {
  const std::string content = Content(kBlock);
  EXPECT_EQ(ReadFails(BlockFile(content) + Md5Bytes("")), kErrorDataFileDamaged);
  EXPECT_EQ(ReadFails(Md5Bytes("")), kErrorDataFileDamaged);
}

TEST_F(TraySafeDataFile, AnyFlippedByteIsDamage) {
  const std::string good = BlockFile(Content(kBlock + 500));
  for (const std::size_t at : {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{40000},
                               kBlock + 16, kBlock + 16 + 3, good.size() - 1}) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    EXPECT_EQ(ReadFails(bad), kErrorDataFileDamaged) << "byte " << at;
  }
}

TEST_F(TraySafeDataFile, ATruncatedBlockIsDamage) {
  const std::string good = BlockFile(Content(kBlock + 500));
  EXPECT_EQ(ReadFails(good.substr(0, good.size() - 1)), kErrorDataFileDamaged);
  EXPECT_EQ(ReadFails(good.substr(0, kBlock)), kErrorDataFileDamaged);
}

TEST_F(TraySafeDataFile, ExactReadPastTheEndIsDamage) {
  CSafeDataFileIn file;
  file.Open(folder_.Write("data.bin", BlockFile("abc")), disk_file::kReadSharingRead);
  char buffer[4];
  EXPECT_THROW(ExactRead(file, buffer, 4), ErrorNumber);
}

TEST_F(TraySafeDataFile, FileMd5DigestsFromThePositionToTheEnd) {
  const std::string content = Content(10000);
  CDiskFile file;
  file.Open(folder_.Write("plain.bin", content), disk_file::kReadSharingRead);
  EXPECT_EQ(file.Seek(100, SeekMethod::kBegin), 100u);
  const Md5Digest digest = FileMd5(file);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(digest.data()), 16), Md5Bytes(content.substr(100)));
  // A known answer of RFC 1321.
  const Md5Digest abc = Md5Of("abc", 3);
  EXPECT_EQ(abc[0], 0x90);
  EXPECT_EQ(abc[15], 0x72);
}

TEST_F(TraySafeDataFile, DiskFileReportsWindowsErrorCodes) {
  CDiskFile file;
  try {
    file.Open(folder_.Path() / "missing.pud", disk_file::kReadSharingRead);
    ADD_FAILURE() << "opened a missing file";
  } catch (const CDiskFileException& failure) {
    EXPECT_EQ(failure.Code(), 2u);  // ERROR_FILE_NOT_FOUND
  }
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(TraySafeDataFile, DiskFileCreatesWritesAndCutsFiles) {
  const auto path = folder_.Path() / "new.bin";
  CDiskFile file;
  file.Open(path, disk_file::kCreateForWriting);
  file.Write("hello world", 11);
  file.Write("", 0);
  EXPECT_EQ(file.GetLength(), 11u);
  file.SetLength(5);
  EXPECT_EQ(file.GetPosition(), 5u);
  file.Flush();
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.IsOpen());
  file.Open(path, disk_file::kReadSharingAll);
  char buffer[16];
  EXPECT_EQ(file.Read(buffer, 0), 0u);
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  // Creating again truncates; create-or-open keeps what is there.
  file.Open(path, disk_file::kCreateForWriting | disk_file::kOpenAlways);
  EXPECT_EQ(file.GetLength(), 5u);
  file.Open(path, disk_file::kCreateForWriting);
  EXPECT_EQ(file.GetLength(), 0u);
}

}  // namespace
}  // namespace qdrl
