// A stand-in for the crash-upload library of the same name, for the Wine tests: it
// copies the report it is handed into the folder named by the environment variable
// TARNWICK_UPLOAD_DIR (the program deletes its own copy right after the call) and
// notes the call's arguments beside it in upload-call.txt.
#include <windows.h>

#include <string>

namespace {

std::wstring UploadFolder() {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"TARNWICK_UPLOAD_DIR", folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(folder, length) + L"\\";
}

std::wstring FileNameOf(const std::wstring& path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::string Utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

void WriteCallNote(const std::wstring& folder, const std::wstring& note) {
  HANDLE file = CreateFileW((folder + L"upload-call.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const std::string bytes = Utf8(note);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" __declspec(dllexport) BOOL WINAPI UploadCrashReportW(const wchar_t* reportPath,
                                                                const wchar_t* productName,
                                                                DWORD machineId) {
  const std::wstring folder = UploadFolder();
  if (folder.empty()) return FALSE;
  const bool copied = CopyFileW(reportPath, (folder + FileNameOf(reportPath)).c_str(), FALSE);
  wchar_t machine[16];
  wsprintfW(machine, L"%08X", machineId);
  WriteCallNote(folder, std::wstring(L"path=") + reportPath + L"\nproduct=" + productName +
                            L"\nmachine=" + machine + L"\ncopied=" + (copied ? L"1" : L"0") + L"\n");
  return copied;
}
