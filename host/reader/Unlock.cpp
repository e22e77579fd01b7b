#include "Unlock.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ReadBuffer.h"

namespace {

bool Pbkdf2Sha256(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt,
                  uint32_t saltLength, uint32_t iterations, uint8_t* key, uint32_t keyLength) {
  return iterations <= INT32_MAX &&
         PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password), int(passwordLength), salt,
                           int(saltLength), int(iterations), EVP_sha256(), int(keyLength), key) == 1;
}

bool Sha256(const uint8_t* data, uint32_t length, uint8_t digest[32]) {
  unsigned int size = 0;
  return EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == 32;
}

bool HmacSha256(const uint8_t* key, uint32_t keyLength, const uint8_t* data, uint32_t length,
                uint8_t digest[32]) {
  unsigned int size = 0;
  return HMAC(EVP_sha256(), key, int(keyLength), data, length, digest, &size) != nullptr && size == 32;
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext NewContext() { return CipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free); }

bool KeyUnwrap(const uint8_t* kek, uint32_t kekLength, const uint8_t* wrapped, uint32_t wrappedLength,
               uint8_t* key) {
  const EVP_CIPHER* cipher = kekLength == 32 ? EVP_aes_256_wrap() : kekLength == 16 ? EVP_aes_128_wrap() : nullptr;
  CipherContext context = NewContext();
  if (cipher == nullptr || context == nullptr || wrappedLength < 16 || wrappedLength > 512) return false;
  uint8_t out[512];
  int length = 0, last = 0;
  const bool unwrapped = EVP_DecryptInit_ex(context.get(), cipher, nullptr, kek, nullptr) == 1 &&
                         EVP_DecryptUpdate(context.get(), out, &length, wrapped, int(wrappedLength)) == 1 &&
                         EVP_DecryptFinal_ex(context.get(), out + length, &last) == 1 &&
                         uint32_t(length + last) == wrappedLength - 8;
  if (unwrapped) std::memcpy(key, out, wrappedLength - 8);
  OPENSSL_cleanse(out, sizeof out);
  return unwrapped;
}

// The cipher fetched from its provider once: naming it on every call looks it up by name.
const EVP_CIPHER* Xts() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-XTS", nullptr);
  return cipher;
}

// Each 512-byte unit is its own XTS message, its tweak the unit number (little-endian).
bool XtsDecrypt(const uint8_t key[32], uint64_t firstUnit, uint8_t* data, uint64_t length) {
  CipherContext context = NewContext();
  if (context == nullptr || Xts() == nullptr ||
      EVP_DecryptInit_ex(context.get(), Xts(), nullptr, key, nullptr) != 1) {
    return false;
  }
  for (uint64_t done = 0; done < length; done += 512) {
    uint8_t tweak[16] = {};
    const uint64_t unit = firstUnit + done / 512;
    for (int i = 0; i < 8; i++) tweak[i] = uint8_t(unit >> (8 * i));
    int out = 0;
    if (EVP_DecryptInit_ex(context.get(), nullptr, nullptr, nullptr, tweak) != 1 ||
        EVP_DecryptUpdate(context.get(), data + done, &out, data + done, 512) != 1 || out != 512) {
      return false;
    }
  }
  return true;
}

const CryptoProvider kOpenSsl = {Pbkdf2Sha256, KeyUnwrap, Sha256, HmacSha256, XtsDecrypt};

// The password, wiped when the program ends.
struct Password {
  std::string text;
  bool given = false;
  bool asked = false;
  bool (*prompt)(const std::string&, std::string*) = nullptr;
  ~Password() { OPENSSL_cleanse(text.data(), text.size()); }
};

Password& Stored() {
  static Password password;
  return password;
}

}  // namespace

const CryptoProvider* OpenSslCrypto() { return &kOpenSsl; }

void SetVolumePassword(const std::string& password) {
  Password& stored = Stored();
  OPENSSL_cleanse(stored.text.data(), stored.text.size());
  stored.text = password;
  stored.given = true;
}

const char* VolumePassword() { return Stored().given ? Stored().text.c_str() : nullptr; }

void SetPasswordPrompt(bool (*prompt)(const std::string&, std::string*)) { Stored().prompt = prompt; }

const char* VolumePasswordOrAsk(const std::string& volumeName) {
  Password& stored = Stored();
  if (!stored.given && !stored.asked && stored.prompt != nullptr) {
    stored.asked = true;
    std::string answer;
    if (stored.prompt(volumeName, &answer)) SetVolumePassword(answer);
    OPENSSL_cleanse(answer.data(), answer.size());
  }
  return VolumePassword();
}

bool ReadEncryptedData(Inode* inode, uint64_t offset, uint8_t* out, uint64_t count, BTree* fsTree) {
  Container* container = inode->container;
  // The units are read into an aligned buffer of the thread's own, kept between reads
  // (the caller's buffer may be ReadBuffer's per-thread one).
  thread_local ReadBuffer units;
  while (count > 0) {
    uint64_t physical = 0, length = 0, unitByte = 0;
    if (!FileDataRunEncrypted(inode, offset, &physical, &length, &unitByte, fsTree) || length == 0) return false;
    const uint64_t piece = std::min(length, count);
    if (physical == 0) {
      std::memset(out, 0, piece);
    } else {
      // The run starts inside a unit as far as its device offset does. Whole units are
      // decrypted where they are to go; a run cut inside a unit goes through the buffer.
      const uint64_t lead = unitByte % 512;
      const uint64_t span = (lead + piece + 511) / 512 * 512;
      const bool inPlace = lead == 0 && span == piece;
      if (!inPlace) units.Reserve(span);
      uint8_t* target = inPlace ? out : units.data();
      if (physical < lead || !DeviceRead(container->device, physical - lead, target, span) ||
          !VolumeDecrypt(inode->volume, unitByte / 512, target, span)) {
        return false;
      }
      if (!inPlace) std::memcpy(out, units.data() + lead, piece);
    }
    out += piece;
    offset += piece;
    count -= piece;
  }
  return true;
}

std::string EncryptionState(const Volume& slot) {
  if (!slot.encrypted) return "";
  if (slot.unlocked) return "unlocked";
  switch (slot.lock) {
    case LOCK_WRONG_PASSWORD: return "locked: wrong password";
    case LOCK_BAD_KEYBAG: return "locked: keybag or wrapped key cannot be parsed";
    case LOCK_HARDWARE: return "locked: encrypted by hardware";
    default: return "locked: no password given";
  }
}

std::string LockedText(const Volume& slot) {
  const std::string name = "volume " + std::to_string(slot.index);
  switch (slot.lock) {
    case LOCK_WRONG_PASSWORD: return "wrong password for " + name;
    case LOCK_BAD_KEYBAG: return name + ": encrypted: its keybag or wrapped key cannot be parsed";
    case LOCK_HARDWARE: return name + ": encrypted by hardware: cannot be unlocked here";
    default:
      return name + ": encrypted: give its password (--password-file FILE, --password-stdin)";
  }
}
