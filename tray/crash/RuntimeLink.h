// Functions of libraries the crash reporter loads at run time, so that neither
// "dbghelp.dll" nor the upload library is a load-time dependency of the program.
#pragma once

#include <windows.h>

namespace qdrl {

// Loads a library from the program's own folder or the system folder only, never from
// the current folder or PATH; null when it is in neither.
inline HMODULE LoadLocalOrSystemLibrary(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr,
                        LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// The export `name` of `library` as a pointer of type Function; null when missing.
template <typename Function>
Function LibraryFunction(HMODULE library, const char* name) {
  if (library == nullptr) return nullptr;
  // Through void*: FARPROC and the real signature are unrelated function types.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace qdrl
