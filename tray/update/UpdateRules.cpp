#include "UpdateRules.h"

#include <cwchar>

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

std::wstring InstallerFileName(std::wstring_view directory, std::uint32_t n,
                               std::wstring_view extension) {
  wchar_t hex[9];
  std::swprintf(hex, std::size(hex), L"%X", static_cast<unsigned>(n));
  std::wstring name(directory);
  name += L"AUM";
  name += hex;
  name += L'.';
  name += extension;
  return name;
}

std::optional<std::wstring> CreateFreshInstallerFile(
    std::wstring_view directory, std::uint32_t first, std::wstring_view extension,
    const std::function<CreateOutcome(const std::wstring&)>& tryCreate) {
  for (std::uint32_t n = first;; ++n) {
    std::wstring name = InstallerFileName(directory, n, extension);
    switch (tryCreate(name)) {
      case CreateOutcome::kCreated: return name;
      case CreateOutcome::kFailed: return std::nullopt;
      case CreateOutcome::kNameTaken: break;
    }
  }
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
