#include "UpdateRules.h"

#include <string>

namespace qdrl {

bool OffersUpdate(const ProductVersion& product, const ProductVersion& offered,
                  const std::optional<ProductVersion>& skipped) {
  if (VersionNumber(offered) <= VersionNumber(product)) return false;
  return !(skipped && *skipped == offered);
}

std::optional<int> ProgressPosition(int stage, int status, std::int64_t total, std::int64_t received) {
  constexpr int kReceivingBody = 4;
  if (stage != kReceivingBody || status != 200 || total <= 0) return std::nullopt;
  return static_cast<int>(static_cast<double>(received) / (static_cast<double>(total) / 100.0));
}

std::wstring InstallerFileName(std::wstring_view directory, std::span<const std::uint8_t> token,
                               std::wstring_view extension) {
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring name(directory);
  name += L"AUM";
  for (const std::uint8_t byte : token) {
    name += kHex[byte >> 4];
    name += kHex[byte & 0x0F];
  }
  name += L'.';
  name += extension;
  return name;
}

DownloadStep StepAfterDownload(bool cancelled, bool fetched) {
  if (cancelled) return DownloadStep::kClose;
  return fetched ? DownloadStep::kValidateAndRun : DownloadStep::kReportFailure;
}

std::wstring TidySystemMessage(std::wstring_view message) {
  constexpr std::wstring_view kBlanks = L" \t\r\n";
  const auto first = message.find_first_not_of(kBlanks);
  std::wstring tidy;
  if (first != std::wstring_view::npos) {
    tidy = message.substr(first, message.find_last_not_of(kBlanks) - first + 1);
  }
  if (tidy.empty() || tidy.back() != L'.') tidy += L'.';
  return tidy;
}

}  // namespace qdrl
