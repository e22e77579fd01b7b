// windows.h comes before OpenSSL's headers on this platform.
#include <windows.h>

#include <openssl/rand.h>

#include <aclapi.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "InstallerFile.h"
#include "UpdateRules.h"

namespace qdrl {

namespace {

constexpr int kNameAttempts = 4;
// What the user and the system may do with the file once the creating handle is
// closed: read, run and remove it, never write it.
constexpr DWORD kHeldAccess = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | DELETE;

struct LocalMemoryFree {
  void operator()(void* memory) const { ::LocalFree(memory); }
};

// The current user's SID, in token-information storage.
std::vector<std::uint8_t> CurrentUser() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<std::uint8_t> user(size);
  const bool read = size != 0 && ::GetTokenInformation(token, TokenUser, user.data(), size, &size);
  ::CloseHandle(token);
  return read ? user : std::vector<std::uint8_t>();
}

// A protected DACL granting the user and the system kHeldAccess only; in LocalAlloc
// storage.
std::unique_ptr<ACL, LocalMemoryFree> ReadOnlyDacl(PSID user) {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  if (!::AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &system)) {
    return nullptr;
  }
  EXPLICIT_ACCESS_W entries[2]{};
  PSID trustees[2] = {user, system};
  for (int i = 0; i < 2; ++i) {
    entries[i].grfAccessPermissions = kHeldAccess;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.ptstrName = static_cast<LPWSTR>(trustees[i]);
  }
  PACL dacl = nullptr;
  const DWORD made = ::SetEntriesInAclW(2, entries, nullptr, &dacl);
  ::FreeSid(system);
  return std::unique_ptr<ACL, LocalMemoryFree>(made == ERROR_SUCCESS ? dacl : nullptr);
}

// Creates name, which must not exist, open for reading and writing with only reading
// shared; the DACL applies to every later open.
HANDLE CreateExclusive(const std::wstring& name, PACL dacl) {
  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) ||
      !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES security{sizeof(security), &descriptor, FALSE};
  return ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                       &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The volume and file number of an open file; none when the system cannot tell.
std::optional<std::array<DWORD, 3>> FileIdentity(const CDiskFile& file) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!::GetFileInformationByHandle(reinterpret_cast<HANDLE>(file.NativeHandle()), &information)) {
    return std::nullopt;
  }
  return std::array<DWORD, 3>{information.dwVolumeSerialNumber, information.nFileIndexHigh,
                              information.nFileIndexLow};
}

}  // namespace

bool CInstallerFile::Create(std::wstring_view extension) {
  Release(false);
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(static_cast<DWORD>(std::size(folder)), folder);
  if (length == 0 || length > MAX_PATH) return false;
  std::vector<std::uint8_t> user = CurrentUser();
  if (user.empty()) return false;
  const auto dacl = ReadOnlyDacl(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
  if (!dacl) return false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::array<std::uint8_t, 16> token;
    if (RAND_bytes(token.data(), static_cast<int>(token.size())) != 1) return false;
    std::wstring name = InstallerFileName(folder, token, extension);
    const HANDLE file = CreateExclusive(name, dacl.get());
    if (file != INVALID_HANDLE_VALUE) {
      body_.Adopt(reinterpret_cast<std::intptr_t>(file));
      path_ = std::move(name);
      return true;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

Md5Digest CInstallerFile::Digest() {
  body_.Seek(0, SeekMethod::kBegin);
  return FileMd5(body_);
}

void CInstallerFile::HoldForStart() {
  // No handle can take over while the writing one is open without sharing what it
  // denies, so the reading handle comes after it; in between the DACL keeps writers
  // out, and a file renamed or replaced meanwhile is told by its identity.
  const auto downloaded = FileIdentity(body_);
  body_.Close();
  held_.Open(path_, disk_file::kReadSharingRead | disk_file::kNotInherited);
  if (!downloaded || FileIdentity(held_) != downloaded) {
    held_.Close();
    throw CDiskFileException(ERROR_FILE_INVALID);
  }
}

// A download that never went as far as the start is removed through the creating
// handle, which holds the right to: the file's DACL need not grant it, and some
// systems (Wine) derive a file's rights and read-only attribute from its mode, where
// a file nobody may write cannot be removed until the attribute is cleared.
void CInstallerFile::Release(bool keep) {
  bool removed = false;
  if (!keep && body_.IsOpen()) {
    const HANDLE file = reinterpret_cast<HANDLE>(body_.NativeHandle());
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
    FILE_DISPOSITION_INFO remove{TRUE};
    removed = ::SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof(remove)) != 0;
  }
  body_.Close();
  held_.Close();
  if (!keep && !removed && !path_.empty()) ::DeleteFileW(path_.c_str());
  path_.clear();
}

}  // namespace qdrl
