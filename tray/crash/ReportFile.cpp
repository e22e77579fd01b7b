#include "ReportFile.h"

#include <windows.h>

#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <type_traits>

#include "ReportFormat.h"

namespace qdrl {

namespace {

constexpr DWORD kTempPathCapacity = 260;
constexpr DWORD kDigestPieceSize = 4096;

// Closes a file handle on scope exit.
struct FileCloser {
  void operator()(HANDLE file) const { CloseHandle(file); }
};
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FileCloser>;

FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD sharing, DWORD disposition) {
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE file = CreateFileW(path.c_str(), access, sharing, &inheritable, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return FileHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Reads the file in 4096-byte pieces until a short read and digests every byte read.
std::optional<Md5Digest> FileMd5(HANDLE file) {
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return std::nullopt;
  auto piece = std::make_unique<BYTE[]>(kDigestPieceSize);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, piece.get(), kDigestPieceSize, &read, nullptr)) return std::nullopt;
    if (EVP_DigestUpdate(context.get(), piece.get(), read) != 1) return std::nullopt;
    if (read < kDigestPieceSize) break;
  }
  Md5Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace

std::uint32_t FileIdentity(const std::wstring& path) {
  // Read, others may read and write.
  FileHandle file = OpenFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  if (!file) return 0;
  const auto digest = FileMd5(file.get());
  return digest ? FoldFileIdentity(*digest) : 0;
}

std::wstring ReportDirectory() {
  wchar_t path[kTempPathCapacity + 1];
  const DWORD length = GetTempPathW(kTempPathCapacity, path);
  // A result longer than the buffer is the size it would have needed.
  if (length == 0 || length > kTempPathCapacity) return L"c:\\";
  return std::wstring(path, length);
}

bool WriteReportFile(const std::wstring& path, std::span<const std::uint8_t> bytes) {
  bool written = false;
  {
    // Create or truncate, write, others may read.
    FileHandle file = OpenFile(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    if (!file) return false;
    DWORD count = 0;
    written = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) &&
              count == bytes.size();
  }
  if (!written) DeleteFileW(path.c_str());
  return written;
}

}  // namespace qdrl
