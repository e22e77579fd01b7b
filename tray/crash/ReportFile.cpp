#include "ReportFile.h"

#include <windows.h>

#include "ReportFormat.h"
#include "update/DiskFile.h"
#include "update/SafeDataFile.h"

namespace qdrl {

namespace {

constexpr DWORD kTempPathCapacity = 260;

}  // namespace

std::uint32_t FileIdentity(const std::wstring& path) {
  try {
    CDiskFile file;
    file.Open(path, disk_file::kReadSharingAll);
    return FoldFileIdentity(FileMd5(file));
  } catch (const CDiskFileException&) {
    return 0;
  } catch (ErrorNumber) {  // the digest could not be set up
    return 0;
  }
}

std::wstring ReportDirectory() {
  wchar_t path[kTempPathCapacity + 1];
  const DWORD length = GetTempPathW(kTempPathCapacity, path);
  // A result longer than the buffer is the size it would have needed.
  if (length == 0 || length > kTempPathCapacity) return L"c:\\";
  return std::wstring(path, length);
}

bool WriteReportFile(const std::wstring& path, std::span<const std::uint8_t> bytes) {
  CDiskFile file;
  try {
    file.Open(path, disk_file::kCreateForWriting);
  } catch (const CDiskFileException&) {
    return false;
  }
  try {
    file.Write(bytes.data(), bytes.size());
    if (file.Close()) return true;
  } catch (const CDiskFileException&) {
    file.Close();
  }
  DeleteFileW(path.c_str());
  return false;
}

}  // namespace qdrl
