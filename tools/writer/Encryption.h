// Software encryption of a volume, as a Mac writes it: one volume key encrypts the
// volume's tree nodes and file data with AES-XTS over 512-byte units; a key-encryption key
// wraps it, and the key derived from the password wraps that one. The wrapped keys sit in
// two keybags, each encrypted with a UUID as its key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace apfsw {

// AES-XTS-128 encryption of 512-byte units numbered from firstUnit, in place. OpenSSL's
// XTS refuses to encrypt with two equal key halves, which a keybag's key is (its UUID
// twice), so the mode is composed from OpenSSL's AES block cipher.
void XtsEncrypt(const uint8_t key[32], uint64_t firstUnit, uint8_t* data, size_t length);

struct KeybagEntry {
  std::vector<uint8_t> uuid;  // 16 bytes
  uint16_t tag = 0;
  std::vector<uint8_t> data;
};
constexpr uint16_t KB_TAG_VOLUME_KEY = 2;
constexpr uint16_t KB_TAG_VOLUME_UNLOCK_RECORDS = 3;

// A keybag's locker: its header (version, entry count, byte count) and the entries, each
// starting 16-byte aligned.
std::vector<uint8_t> KeybagLocker(const std::vector<KeybagEntry>& entries);

// A keybag object of one block: the header, the locker, the checksum, then encrypted with
// uuid twice as the key, its units numbered from its address.
std::vector<uint8_t> KeybagBlock(uint32_t blockSize, uint64_t address, uint64_t xid, uint32_t type,
                                 const std::vector<uint8_t>& uuid, const std::vector<KeybagEntry>& entries);

// The keys of one encrypted volume, derived from the image's seed so that images are
// reproducible; wiped when it goes.
class VolumeKeys {
 public:
  VolumeKeys(uint64_t seed, uint32_t volumeIndex);
  ~VolumeKeys();
  VolumeKeys(const VolumeKeys&) = delete;
  VolumeKeys& operator=(const VolumeKeys&) = delete;

  // Encrypts whole blocks that sit, or are numbered as if they sat, from block origin on.
  void Encrypt(uint64_t origin, uint32_t blockSize, uint8_t* data, size_t length) const;
  // The volume key wrapped by the key-encryption key: the container keybag's entry.
  std::vector<uint8_t> VolumeKeyBlob(const std::vector<uint8_t>& volumeUuid) const;
  // The key-encryption key wrapped by the password's key: the volume keybag's entry.
  std::vector<uint8_t> PasswordBlob(const std::vector<uint8_t>& volumeUuid, const std::string& password,
                                    uint32_t iterations) const;

 private:
  uint64_t seed_;
  uint8_t volumeKey_[32];
  uint8_t wrappingKey_[32];
};

}  // namespace apfsw
