// The program's registry values. Keys are opened with RegCreateKeyExW, so a missing
// key is created where access allows; a missing value reads as absent.
#pragma once

#include <optional>
#include <string>

#include "Version.h"

namespace qdrl {

// HKEY_CURRENT_USER\Software\Quadrel "setonce": tells whether it was absent (the
// user's first run), then writes it as the 32-bit number 1, REG_BINARY of 4 bytes.
bool MarkStartedOnce();

// HKEY_CURRENT_USER\Software\Quadrel "SkipUpdate": the update version the user chose
// to skip, 16 bytes; absent or unreadable gives none.
std::optional<ProductVersion> ReadSkippedUpdate();
bool WriteSkippedUpdate(const ProductVersion& version);

// HKEY_LOCAL_MACHINE\Software\Quadrel "UPD": path of the update description file,
// at most 520 bytes read.
std::optional<std::wstring> ReadUpdateDescriptionPath();

}  // namespace qdrl
