// Files made of MD5-checked blocks: each block is the 16-byte MD5 digest of its data
// followed by the data, 65535 bytes in every block but the last, which holds the rest
// (at least one byte). Readers see the data parts joined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "DiskFile.h"
#include "ErrorNumber.h"

namespace qdrl {

// "The data file is damaged."
inline constexpr ErrorNumber kErrorDataFileDamaged = MakeErrorNumber(10, 1);

using Md5Digest = std::array<std::uint8_t, 16>;

class CSafeDataFileBase : public CDiskFile {
 public:
  static constexpr std::size_t kBlockDataSize = 65535;
  static constexpr std::size_t kDigestSize = 16;

 protected:
  std::uint8_t* Block() { return block_.get(); }

 private:
  std::unique_ptr<std::uint8_t[]> block_ = std::make_unique<std::uint8_t[]>(kBlockDataSize);
};

class CSafeDataFileIn : public CSafeDataFileBase {
 public:
  // Data bytes, fewer than count only at the end of the file; a damaged block, a
  // block cut short or a digest without data raises kErrorDataFileDamaged. Blocks are
  // read and checked one at a time as the data reaches them.
  std::size_t Read(void* buffer, std::size_t count) override;

  // At least as many data bytes as are left (the digests still ahead count too).
  std::uint64_t RemainingAtMost();

 private:
  // Reads and checks the next block into the buffer.
  void LoadBlock();

  std::size_t blockLength_ = 0;
  std::size_t readPosition_ = 0;
};

// Reads exactly count bytes; an end of file first raises kErrorDataFileDamaged.
void ExactRead(CDiskFile& file, void* buffer, std::size_t count);

// MD5 of everything from the current position to the end, read through the file's
// own Read in 4096-byte pieces.
Md5Digest FileMd5(CDiskFile& file);

// MD5 of a piece of memory.
Md5Digest Md5Of(const void* data, std::size_t size);

}  // namespace qdrl
