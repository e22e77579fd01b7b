// Unlocking software-encrypted volumes: the OpenSSL ciphers the engine borrows, and the
// password the user gave for this run of the program.
#pragma once

#include <string>

#include "ApfsProcs.h"

// The cryptography the engine uses to unlock and read encrypted volumes.
const CryptoProvider* OpenSslCrypto();

// The password for encrypted volumes, kept until the program ends (and wiped then).
void SetVolumePassword(const std::string& password);
// Null when no password was given.
const char* VolumePassword();
// Where a password comes from when none was given and a volume to be read is locked
// (a prompt on the terminal); returns false when there is none.
void SetPasswordPrompt(bool (*prompt)(const std::string& volumeName, std::string* password));
// The password given, or else the prompt's answer (asked once); null when neither.
const char* VolumePasswordOrAsk(const std::string& volumeName);

// "unlocked" or "locked: ..." for an encrypted volume, empty for another.
std::string EncryptionState(const Volume& slot);

// The message for a volume that stays locked ("wrong password for volume 1").
std::string LockedText(const Volume& slot);

// Reads count bytes of an unlocked volume's file from offset on (inside its size),
// decrypting whole 512-byte units; holes read as zeros. False where the extent map or
// the device cannot be read.
bool ReadEncryptedData(Inode* inode, uint64_t offset, uint8_t* out, uint64_t count, BTree* fsTree);
