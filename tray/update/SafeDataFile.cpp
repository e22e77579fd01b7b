#include "SafeDataFile.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace qdrl {

namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

class Md5 {
 public:
  Md5() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) != 1) throw kErrorDataFileDamaged;
  }
  void Add(const void* data, std::size_t size) { EVP_DigestUpdate(context_.get(), data, size); }
  Md5Digest Finish() {
    Md5Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_.get(), digest.data(), &length);
    return digest;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context_;
};

}  // namespace

Md5Digest Md5Of(const void* data, std::size_t size) {
  Md5 md5;
  md5.Add(data, size);
  return md5.Finish();
}

std::size_t CSafeDataFileIn::Read(void* buffer, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    if (readPosition_ == blockLength_) {
      blockLength_ = readPosition_ = 0;
      if (GetPosition() == GetLength()) break;
      LoadBlock();
    }
    const std::size_t taken = std::min(count - done, blockLength_ - readPosition_);
    std::memcpy(out + done, Block() + readPosition_, taken);
    readPosition_ += taken;
    done += taken;
  }
  return done;
}

void CSafeDataFileIn::LoadBlock() {
  const std::uint64_t remaining = GetLength() - GetPosition();
  // A digest needs data after it: a conforming file never ends with an empty block.
  if (remaining <= kDigestSize) throw kErrorDataFileDamaged;
  Md5Digest digest;
  if (CDiskFile::Read(digest.data(), kDigestSize) != kDigestSize) throw kErrorDataFileDamaged;
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(remaining - kDigestSize, kBlockDataSize));
  if (CDiskFile::Read(Block(), length) != length || Md5Of(Block(), length) != digest) {
    throw kErrorDataFileDamaged;
  }
  blockLength_ = length;
}

std::uint64_t CSafeDataFileIn::RemainingAtMost() {
  return (GetLength() - GetPosition()) + (blockLength_ - readPosition_);
}

void ExactRead(CDiskFile& file, void* buffer, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::size_t done = 0; done < count;) {
    const std::size_t got = file.Read(out + done, count - done);
    if (got == 0) throw kErrorDataFileDamaged;
    done += got;
  }
}

Md5Digest FileMd5(CDiskFile& file) {
  constexpr std::size_t kPiece = 4096;
  std::array<std::uint8_t, kPiece> piece;
  Md5 md5;
  for (;;) {
    const std::size_t got = file.Read(piece.data(), kPiece);
    md5.Add(piece.data(), got);
    if (got < kPiece) break;
  }
  return md5.Finish();
}

}  // namespace qdrl
