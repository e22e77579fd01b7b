// Software-encrypted volumes: the container and volume keybags, the wrapped key blobs
// in them, and unlocking a volume's key with a password. The ciphers belong to the
// host's CryptoProvider; everything read from disk is bounded here before it is used.
#include <cstdlib>
#include <cstring>

#include "ApfsFormat.h"
#include "ApfsProcs.h"

namespace {

constexpr uint32_t APFS_VOL_UUID = 240;
constexpr uint32_t APFS_FS_FLAGS = 264;
constexpr uint64_t APFS_FS_ONEKEY = 0x8;

constexpr uint32_t OBJECT_TYPE_CONTAINER_KEYBAG = 0x6B657973;  // 'keys'
constexpr uint32_t OBJECT_TYPE_VOLUME_KEYBAG = 0x72656373;     // 'recs'
constexpr uint16_t KEYBAG_VERSION = 2;
constexpr uint32_t KEYBAG_LOCKER = 32;  // the locker header follows the object header
constexpr uint32_t LOCKER_HEADER_SIZE = 16;
constexpr uint32_t ENTRY_HEADER_SIZE = 24;
constexpr uint16_t ENTRY_MAX_KEY_LENGTH = 512;
constexpr uint64_t KEYBAG_MAX_BLOCKS = 4;

constexpr uint16_t TAG_VOLUME_KEY = 2;
constexpr uint16_t TAG_UNLOCK_RECORDS = 3;

constexpr uint32_t UNIT = 512;
constexpr uint32_t VOLUME_KEY_SIZE = 32;
constexpr uint32_t WRAP_OVERHEAD = 8;
constexpr uint32_t MAX_SALT = 64;

// Unlock records of recovery keys, which a password never opens.
constexpr uint8_t RECOVERY_UUIDS[][16] = {
    {0xEB, 0xC6, 0xC0, 0x64, 0, 0, 0x11, 0xAA, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},
    {0xC0, 0x64, 0xEB, 0xC6, 0, 0, 0x11, 0xAA, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},
    {0x64, 0xC0, 0xC6, 0xEB, 0, 0, 0x11, 0xAA, 0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC},
};

// Overwrites key material in a way the compiler may not drop as a dead store.
void Wipe(void* bytes, size_t count) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
  while (count-- > 0) *p++ = 0;
}

// A decrypted keybag, owned.
struct Keybag {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  uint32_t end = 0;  // end of the last entry, inside size
  ~Keybag() { std::free(bytes); }
};

// Reads the keybag at blocks [start, start + count), decrypts it with uuid twice as
// the key and checks its header.
bool KeybagRead(Container* container, uint64_t start, uint64_t count, const uint8_t* uuid,
                uint32_t type, Keybag* bag) {
  if (count == 0 || count > KEYBAG_MAX_BLOCKS || start >= ContainerBlockCount(container) ||
      count > ContainerBlockCount(container) - start) {
    return false;
  }
  bag->size = uint32_t(count << container->blockShift);
  bag->bytes = static_cast<uint8_t*>(std::calloc(bag->size, 1));
  uint8_t key[VOLUME_KEY_SIZE];
  std::memcpy(key, uuid, 16);
  std::memcpy(key + 16, uuid, 16);
  const bool read =
      bag->bytes != nullptr &&
      ReadAtBlock(container, start, bag->bytes, bag->size, CONTAINER_INDEX) &&
      container->crypto->xtsDecrypt(key, (start << container->blockShift) / UNIT, bag->bytes,
                                    bag->size);
  Wipe(key, sizeof key);
  if (!read || !ObjectVerify(bag->bytes, bag->size) || Le32(bag->bytes + OBJ_TYPE) != type ||
      Le16(bag->bytes + KEYBAG_LOCKER) != KEYBAG_VERSION) {
    return false;
  }
  const uint32_t lockerBytes = Le32(bag->bytes + KEYBAG_LOCKER + 4);
  if (lockerBytes < LOCKER_HEADER_SIZE || lockerBytes > bag->size - KEYBAG_LOCKER) return false;
  bag->end = KEYBAG_LOCKER + lockerBytes;
  return true;
}

struct KeybagEntry {
  const uint8_t* uuid;
  uint16_t tag;
  const uint8_t* data;
  uint16_t length;
};

// The entry at *offset (start with 0), advancing *offset past it; false at the end or for
// an entry that does not fit (*damaged set then).
bool KeybagNext(const Keybag& bag, uint32_t* offset, KeybagEntry* entry, bool* damaged) {
  *damaged = false;
  if (*offset == 0) *offset = KEYBAG_LOCKER + LOCKER_HEADER_SIZE;
  if (*offset >= bag.end) return false;
  if (bag.end - *offset < ENTRY_HEADER_SIZE) return !(*damaged = true);
  const uint8_t* p = bag.bytes + *offset;
  entry->uuid = p;
  entry->tag = Le16(p + 16);
  entry->length = Le16(p + 18);
  entry->data = p + ENTRY_HEADER_SIZE;
  if (entry->length >= ENTRY_MAX_KEY_LENGTH || entry->length > bag.end - *offset - ENTRY_HEADER_SIZE) {
    return !(*damaged = true);
  }
  *offset += (ENTRY_HEADER_SIZE + entry->length + 15) & ~15u;
  return true;
}

bool FindEntry(const Keybag& bag, const uint8_t* uuid, uint16_t tag, KeybagEntry* found) {
  uint32_t offset = 0;
  bool damaged;
  KeybagEntry entry;
  while (KeybagNext(bag, &offset, &entry, &damaged)) {
    if (entry.tag == tag && std::memcmp(entry.uuid, uuid, 16) == 0) return *found = entry, true;
  }
  return false;
}

// One DER element inside [*p, end): its tag, and its content in [content, contentEnd).
struct Der {
  uint8_t tag;
  const uint8_t* content;
  uint32_t length;
};

bool DerNext(const uint8_t** p, const uint8_t* end, Der* element) {
  if (end - *p < 2) return false;
  const uint8_t* q = *p;
  element->tag = *q++;
  uint32_t length = *q++;
  if (length & 0x80) {
    const uint32_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 2 || uint32_t(end - q) < bytes) return false;
    length = 0;
    for (uint32_t i = 0; i < bytes; i++) length = length << 8 | *q++;
  }
  if (uint32_t(end - q) < length) return false;
  element->content = q;
  element->length = length;
  *p = q + length;
  return true;
}

// The fields of a wrapped key blob that unlocking needs.
struct WrappedKey {
  const uint8_t* wrapped = nullptr;
  uint32_t wrappedLength = 0;
  const uint8_t* salt = nullptr;
  uint32_t saltLength = 0;
  uint32_t iterations = 0;
};

bool ParseKeyFields(const uint8_t* p, const uint8_t* end, WrappedKey* key) {
  Der field;
  while (p < end) {
    if (!DerNext(&p, end, &field)) return false;
    if (field.tag == 0x83) {
      key->wrapped = field.content;
      key->wrappedLength = field.length;
    } else if (field.tag == 0x84) {
      if (field.length == 0 || field.length > 4) return false;
      key->iterations = 0;
      for (uint32_t i = 0; i < field.length; i++) key->iterations = key->iterations << 8 | field.content[i];
    } else if (field.tag == 0x85) {
      key->salt = field.content;
      key->saltLength = field.length;
    }
  }
  // A 16- or 32-byte key, wrapped.
  return key->wrappedLength == 16 + WRAP_OVERHEAD || key->wrappedLength == 32 + WRAP_OVERHEAD;
}

// The blob's [1] is an HMAC of its whole [3] element, keyed by a digest of a fixed
// prefix and its [2] salt: a damaged blob is told from a wrong password.
bool BlobIntact(const CryptoProvider* crypto, const Der& mac, const Der& salt,
                const uint8_t* keyElement, uint32_t keyElementLength) {
  static constexpr uint8_t PREFIX[] = {0x01, 0x16, 0x20, 0x17, 0x15, 0x05};
  if (mac.length != 32 || salt.length > MAX_SALT) return false;
  uint8_t seed[sizeof PREFIX + MAX_SALT];
  std::memcpy(seed, PREFIX, sizeof PREFIX);
  std::memcpy(seed + sizeof PREFIX, salt.content, salt.length);
  uint8_t hmacKey[32], digest[32];
  return crypto->sha256(seed, uint32_t(sizeof PREFIX + salt.length), hmacKey) &&
         crypto->hmacSha256(hmacKey, sizeof hmacKey, keyElement, keyElementLength, digest) &&
         std::memcmp(digest, mac.content, sizeof digest) == 0;
}

// A blob: one sequence holding its version [0] (0, the only one known), its HMAC [1],
// the HMAC's salt [2] and the sequence [3] of the key's fields.
bool ParseBlob(const CryptoProvider* crypto, const uint8_t* blob, uint32_t length, WrappedKey* key) {
  const uint8_t* p = blob;
  Der outer;
  if (!DerNext(&p, blob + length, &outer) || outer.tag != 0x30) return false;
  const uint8_t* q = outer.content;
  const uint8_t* end = outer.content + outer.length;
  Der field, mac{}, salt{};
  if (!DerNext(&q, end, &field) || field.tag != 0x80 || field.length != 1 || field.content[0] != 0) {
    return false;
  }
  while (q < end) {
    const uint8_t* start = q;
    if (!DerNext(&q, end, &field)) return false;
    if (field.tag == 0x81) mac = field;
    if (field.tag == 0x82) salt = field;
    if (field.tag == 0xA3) {
      return mac.content != nullptr && salt.content != nullptr &&
             BlobIntact(crypto, mac, salt, start, uint32_t(q - start)) &&
             ParseKeyFields(field.content, field.content + field.length, key);
    }
  }
  return false;
}

enum class Attempt { Opened, Refused, Damaged };

// Opens one unlock record's key-encryption key with the password, then the volume key.
Attempt TryRecord(const CryptoProvider* crypto, const KeybagEntry& record,
                  const WrappedKey& volumeKey, const char* password, uint8_t* out) {
  WrappedKey kek;
  if (!ParseBlob(crypto, record.data, record.length, &kek) || kek.salt == nullptr ||
      kek.saltLength == 0 || kek.saltLength > MAX_SALT || kek.iterations == 0) {
    return Attempt::Damaged;
  }
  uint8_t passwordKey[32];
  uint8_t keyKey[32];
  const uint32_t kekLength = kek.wrappedLength - WRAP_OVERHEAD;
  bool opened =
      crypto->pbkdf2Sha256(reinterpret_cast<const uint8_t*>(password), uint32_t(std::strlen(password)),
                           kek.salt, kek.saltLength, kek.iterations, passwordKey, kekLength) &&
      crypto->keyUnwrap(passwordKey, kekLength, kek.wrapped, kek.wrappedLength, keyKey);
  // Only 256-bit volume keys are read: the XTS key is the whole of it.
  if (opened) {
    opened = volumeKey.wrappedLength == VOLUME_KEY_SIZE + WRAP_OVERHEAD &&
             crypto->keyUnwrap(keyKey, kekLength, volumeKey.wrapped, volumeKey.wrappedLength, out);
    Wipe(passwordKey, sizeof passwordKey);
    Wipe(keyKey, sizeof keyKey);
    return opened ? Attempt::Opened : Attempt::Damaged;
  }
  Wipe(passwordKey, sizeof passwordKey);
  Wipe(keyKey, sizeof keyKey);
  return Attempt::Refused;
}

bool IsRecoveryRecord(const uint8_t* uuid) {
  for (const auto& recovery : RECOVERY_UUIDS) {
    if (std::memcmp(uuid, recovery, 16) == 0) return true;
  }
  return false;
}

bool Locked(Volume* volume, VolumeLock why) {
  volume->lock = why;
  return false;
}

// Tries every password record of the volume keybag.
bool OpenWithRecords(Volume* volume, const Keybag& volumeBag, const WrappedKey& volumeKey,
                     const char* password) {
  uint32_t offset = 0;
  bool damaged;
  bool anyRecord = false;
  KeybagEntry entry;
  while (KeybagNext(volumeBag, &offset, &entry, &damaged)) {
    if (entry.tag != TAG_UNLOCK_RECORDS || IsRecoveryRecord(entry.uuid)) continue;
    anyRecord = true;
    const Attempt attempt =
        TryRecord(volume->container->crypto, entry, volumeKey, password, volume->volumeKey);
    if (attempt == Attempt::Opened) return true;
    if (attempt == Attempt::Damaged) return Locked(volume, LOCK_BAD_KEYBAG);
  }
  if (damaged || !anyRecord) return Locked(volume, LOCK_BAD_KEYBAG);
  return Locked(volume, LOCK_WRONG_PASSWORD);
}

}  // namespace

bool VolumeUnlock(Volume* volume, const char* password) {
  Container* container = volume->container;
  volume->unlocked = false;
  const uint8_t* nx = container->latest;
  const uint8_t* volumeUuid = volume->superblock + APFS_VOL_UUID;
  // Keys kept by hardware are wrapped per file, not with the volume's one key.
  if ((Le64(volume->superblock + APFS_FS_FLAGS) & APFS_FS_ONEKEY) == 0) {
    return Locked(volume, LOCK_HARDWARE);
  }
  if (password == nullptr || container->crypto == nullptr) return Locked(volume, LOCK_NO_PASSWORD);
  Keybag containerBag;
  if (!KeybagRead(container, Le64(nx + NX_KEYLOCKER), Le64(nx + NX_KEYLOCKER + 8), nx + NX_UUID,
                  OBJECT_TYPE_CONTAINER_KEYBAG, &containerBag)) {
    // A keybag the container's UUID decrypts into one, but damaged, is not hardware's.
    const bool damaged = containerBag.bytes != nullptr &&
                         Le32(containerBag.bytes + OBJ_TYPE) == OBJECT_TYPE_CONTAINER_KEYBAG;
    return Locked(volume, damaged ? LOCK_BAD_KEYBAG : LOCK_HARDWARE);
  }
  KeybagEntry volumeKeyEntry, recordsEntry;
  if (!FindEntry(containerBag, volumeUuid, TAG_VOLUME_KEY, &volumeKeyEntry) ||
      !FindEntry(containerBag, volumeUuid, TAG_UNLOCK_RECORDS, &recordsEntry)) {
    return Locked(volume, LOCK_HARDWARE);
  }
  WrappedKey volumeKey;
  Keybag volumeBag;
  if (recordsEntry.length != 16 || !ParseBlob(container->crypto, volumeKeyEntry.data, volumeKeyEntry.length, &volumeKey) ||
      !KeybagRead(container, Le64(recordsEntry.data), Le64(recordsEntry.data + 8), volumeUuid,
                  OBJECT_TYPE_VOLUME_KEYBAG, &volumeBag)) {
    return Locked(volume, LOCK_BAD_KEYBAG);
  }
  if (!OpenWithRecords(volume, volumeBag, volumeKey, password)) {
    VolumeForgetKey(volume);
    return false;
  }
  volume->unlocked = true;
  volume->lock = LOCK_NONE;
  return true;
}

void VolumeForgetKey(Volume* volume) {
  Wipe(volume->volumeKey, sizeof volume->volumeKey);
  volume->unlocked = false;
}

bool VolumeDecrypts(const Volume* volume) { return volume->encrypted && volume->unlocked; }

bool VolumeDecrypt(const Volume* volume, uint64_t firstUnit, uint8_t* data, uint64_t length) {
  const CryptoProvider* crypto = volume->container->crypto;
  return VolumeDecrypts(volume) && crypto != nullptr && length % UNIT == 0 &&
         crypto->xtsDecrypt(volume->volumeKey, firstUnit, data, length);
}
