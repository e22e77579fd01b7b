// Rules of the update client that need no Windows calls: whether a start offers an
// update, the progress bar's position, the installer's temporary names, what follows
// a finished download and how a system message is shown.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "../Version.h"

namespace qdrl {

// Whether the start-up check posts the update notice: the offered version must be
// newer by VersionNumber and not the one the user skipped (none: nothing skipped).
bool OffersUpdate(const ProductVersion& product, const ProductVersion& offered,
                  const std::optional<ProductVersion>& skipped);

// Where the download page's progress bar stands (0 to 100) while the final body is
// received with a known size; none leaves the bar as it is.
std::optional<int> ProgressPosition(int stage, int status, std::int64_t total, std::int64_t received);

// "<directory>AUM<the bytes of token in upper-case hexadecimal>.<extension>"; a token
// of random bytes makes a name no other process can predict.
std::wstring InstallerFileName(std::wstring_view directory, std::span<const std::uint8_t> token,
                               std::wstring_view extension);

// What the download page does once the download thread has finished.
enum class DownloadStep {
  kReportFailure,   // show the fetch's error, then close the wizard
  kValidateAndRun,  // check the digest and start the installer
  kClose,           // cancelled: close the wizard without a message
};
DownloadStep StepAfterDownload(bool cancelled, bool fetched);

// A system message as shown after "Failed to update Quadrel: ": spaces, tabs, CR and
// LF trimmed from both ends and a full stop added when it does not end in one.
std::wstring TidySystemMessage(std::wstring_view message);

}  // namespace qdrl
