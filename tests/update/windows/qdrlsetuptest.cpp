// Stand-in installer of the update wizard's Wine tests: records that it ran, with the
// path it was started from, by appending a line to C:\qdrl\installer-runs.txt, and
// ends at once.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  FILE* out = _wfopen(L"C:\\qdrl\\installer-runs.txt", L"a");
  if (out == nullptr) return 1;
  std::fwprintf(out, L"%ls\n", path);
  std::fclose(out);
  return 0;
}
