#include "Encryption.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <memory>
#include <stdexcept>

#include "Object.h"
#include "OnDisk.h"
#include "WriteContext.h"

namespace apfsw {
namespace {

constexpr size_t kUnit = 512;
constexpr size_t kAesBlock = 16;
constexpr size_t kKeySize = 32;
constexpr size_t kWrappedKeySize = kKeySize + 8;
constexpr uint16_t kKeybagVersion = 2;
constexpr size_t kLockerHeaderSize = 16;
constexpr size_t kEntryHeaderSize = 24;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

void Require(bool done, const char* what) {
  if (!done) throw std::runtime_error(std::string("encryption: ") + what + " failed");
}

CipherContext EcbEncryptor(const uint8_t key[16]) {
  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  Require(context != nullptr && EVP_EncryptInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) == 1,
          "AES set-up");
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  return context;
}

void EcbEncrypt(EVP_CIPHER_CTX* context, uint8_t* data, size_t length) {
  int out = 0;
  Require(EVP_EncryptUpdate(context, data, &out, data, static_cast<int>(length)) == 1 &&
              static_cast<size_t>(out) == length,
          "AES");
}

// Multiplies the tweak by x in GF(2^128), little-endian, as XTS steps it block to block.
void DoubleTweak(uint8_t tweak[16]) {
  const uint8_t carry = tweak[15] >> 7;
  for (int i = 15; i > 0; i--) tweak[i] = static_cast<uint8_t>(tweak[i] << 1 | tweak[i - 1] >> 7);
  tweak[0] = static_cast<uint8_t>(tweak[0] << 1 ^ (carry ? 0x87 : 0));
}

// One DER element: tag, definite length (short or long form), content.
void PutDer(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& content) {
  out.push_back(tag);
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xFF) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
}

// A non-negative DER integer: big-endian, shortest, a zero byte before a set top bit.
std::vector<uint8_t> DerInteger(uint32_t value) {
  std::vector<uint8_t> bytes;
  do {
    bytes.insert(bytes.begin(), static_cast<uint8_t>(value));
    value >>= 8;
  } while (value != 0);
  if (bytes.front() & 0x80) bytes.insert(bytes.begin(), 0);
  return bytes;
}

std::vector<uint8_t> SeededBytes(uint64_t seed, uint64_t salt, size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; i += 8) {
    uint8_t word[8];
    Put64(word, MixSeed(seed, salt + i / 8));
    std::memcpy(bytes.data() + i, word, std::min<size_t>(8, count - i));
  }
  return bytes;
}

std::vector<uint8_t> KeyWrap(const uint8_t* kek, const uint8_t key[kKeySize]) {
  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  std::vector<uint8_t> wrapped(kWrappedKeySize + kAesBlock);
  int length = 0, last = 0;
  Require(context != nullptr &&
              EVP_EncryptInit_ex(context.get(), EVP_aes_256_wrap(), nullptr, kek, nullptr) == 1 &&
              EVP_EncryptUpdate(context.get(), wrapped.data(), &length, key, kKeySize) == 1 &&
              EVP_EncryptFinal_ex(context.get(), wrapped.data() + length, &last) == 1 &&
              static_cast<size_t>(length + last) == kWrappedKeySize,
          "key wrap");
  wrapped.resize(kWrappedKeySize);
  return wrapped;
}

// A wrapped-key blob: version 0, an HMAC of the key's fields keyed by a digest of a fixed
// prefix and a salt, the salt, and the key's fields.
std::vector<uint8_t> Blob(const std::vector<uint8_t>& keyFields, const std::vector<uint8_t>& macSalt) {
  static constexpr uint8_t kPrefix[] = {0x01, 0x16, 0x20, 0x17, 0x15, 0x05};
  std::vector<uint8_t> keyElement;
  PutDer(keyElement, 0xA3, keyFields);
  std::vector<uint8_t> seed(kPrefix, kPrefix + sizeof kPrefix);
  seed.insert(seed.end(), macSalt.begin(), macSalt.end());
  uint8_t macKey[32];
  unsigned int size = 0;
  Require(EVP_Digest(seed.data(), seed.size(), macKey, &size, EVP_sha256(), nullptr) == 1, "SHA-256");
  std::vector<uint8_t> mac(32);
  Require(HMAC(EVP_sha256(), macKey, sizeof macKey, keyElement.data(), keyElement.size(), mac.data(), &size) !=
              nullptr,
          "HMAC");
  std::vector<uint8_t> inner;
  PutDer(inner, 0x80, {0});
  PutDer(inner, 0x81, mac);
  PutDer(inner, 0x82, macSalt);
  inner.insert(inner.end(), keyElement.begin(), keyElement.end());
  std::vector<uint8_t> blob;
  PutDer(blob, 0x30, inner);
  return blob;
}

// The key fields every blob starts with: version 0, the UUID, the flags a Mac writes for
// the kind of key, the wrapped key.
std::vector<uint8_t> KeyFields(const std::vector<uint8_t>& uuid, uint8_t kind, const std::vector<uint8_t>& wrapped) {
  std::vector<uint8_t> fields;
  PutDer(fields, 0x80, {0});
  PutDer(fields, 0x81, uuid);
  PutDer(fields, 0x82, {0, 0, 0, 0, kind, 0, 0x57, 0x09});
  PutDer(fields, 0x83, wrapped);
  return fields;
}

}  // namespace

void XtsEncrypt(const uint8_t key[32], uint64_t firstUnit, uint8_t* data, size_t length) {
  if (length % kUnit != 0) throw std::runtime_error("encryption: not whole 512-byte units");
  const CipherContext dataCipher = EcbEncryptor(key);
  const CipherContext tweakCipher = EcbEncryptor(key + 16);
  uint8_t tweaks[kUnit];
  for (size_t done = 0; done < length; done += kUnit) {
    uint8_t* unit = data + done;
    uint8_t tweak[kAesBlock] = {};
    Put64(tweak, firstUnit + done / kUnit);
    EcbEncrypt(tweakCipher.get(), tweak, kAesBlock);
    for (size_t at = 0; at < kUnit; at += kAesBlock) {
      std::memcpy(tweaks + at, tweak, kAesBlock);
      DoubleTweak(tweak);
    }
    for (size_t i = 0; i < kUnit; i++) unit[i] ^= tweaks[i];
    EcbEncrypt(dataCipher.get(), unit, kUnit);
    for (size_t i = 0; i < kUnit; i++) unit[i] ^= tweaks[i];
  }
}

std::vector<uint8_t> KeybagLocker(const std::vector<KeybagEntry>& entries) {
  std::vector<uint8_t> locker(kLockerHeaderSize, 0);
  Put16(locker.data(), kKeybagVersion);
  Put16(locker.data() + 2, static_cast<uint16_t>(entries.size()));
  for (const KeybagEntry& entry : entries) {
    const size_t at = locker.size();
    locker.resize(at + ((kEntryHeaderSize + entry.data.size() + 15) & ~size_t(15)), 0);
    std::memcpy(locker.data() + at, entry.uuid.data(), 16);
    Put16(locker.data() + at + 16, entry.tag);
    Put16(locker.data() + at + 18, static_cast<uint16_t>(entry.data.size()));
    std::memcpy(locker.data() + at + kEntryHeaderSize, entry.data.data(), entry.data.size());
  }
  Put32(locker.data() + 4, static_cast<uint32_t>(locker.size()));
  return locker;
}

std::vector<uint8_t> KeybagBlock(uint32_t blockSize, uint64_t address, uint64_t xid, uint32_t type,
                                 const std::vector<uint8_t>& uuid, const std::vector<KeybagEntry>& entries) {
  const std::vector<uint8_t> locker = KeybagLocker(entries);
  if (OBJ_HEADER_SIZE + locker.size() > blockSize) throw std::runtime_error("keybag larger than a block");
  std::vector<uint8_t> block(blockSize, 0);
  SetObjectHeader(block.data(), 0, xid, type, 0);
  std::memcpy(block.data() + OBJ_HEADER_SIZE, locker.data(), locker.size());
  SealObject(block.data(), block.size());
  uint8_t key[kKeySize];
  std::memcpy(key, uuid.data(), 16);
  std::memcpy(key + 16, uuid.data(), 16);
  XtsEncrypt(key, address * blockSize / kUnit, block.data(), block.size());
  return block;
}

VolumeKeys::VolumeKeys(uint64_t seed, uint32_t volumeIndex) : seed_(MixSeed(seed, 0x6B657973 + volumeIndex)) {
  const std::vector<uint8_t> keys = SeededBytes(seed_, 0, 2 * kKeySize);
  std::memcpy(volumeKey_, keys.data(), kKeySize);
  std::memcpy(wrappingKey_, keys.data() + kKeySize, kKeySize);
}

VolumeKeys::~VolumeKeys() {
  OPENSSL_cleanse(volumeKey_, sizeof volumeKey_);
  OPENSSL_cleanse(wrappingKey_, sizeof wrappingKey_);
}

void VolumeKeys::Encrypt(uint64_t origin, uint32_t blockSize, uint8_t* data, size_t length) const {
  XtsEncrypt(volumeKey_, origin * blockSize / kUnit, data, length);
}

std::vector<uint8_t> VolumeKeys::VolumeKeyBlob(const std::vector<uint8_t>& volumeUuid) const {
  return Blob(KeyFields(volumeUuid, 1, KeyWrap(wrappingKey_, volumeKey_)), SeededBytes(seed_, 8, 8));
}

std::vector<uint8_t> VolumeKeys::PasswordBlob(const std::vector<uint8_t>& volumeUuid, const std::string& password,
                                              uint32_t iterations) const {
  const std::vector<uint8_t> salt = SeededBytes(seed_, 9, 16);
  uint8_t passwordKey[kKeySize];
  Require(PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                            static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                            kKeySize, passwordKey) == 1,
          "PBKDF2");
  std::vector<uint8_t> fields = KeyFields(volumeUuid, 2, KeyWrap(passwordKey, wrappingKey_));
  OPENSSL_cleanse(passwordKey, sizeof passwordKey);
  PutDer(fields, 0x84, DerInteger(iterations));
  PutDer(fields, 0x85, salt);
  return Blob(fields, SeededBytes(seed_, 11, 8));
}

}  // namespace apfsw
