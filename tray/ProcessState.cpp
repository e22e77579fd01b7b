#include "ProcessState.h"

namespace qdrl {

ProcessState& Process() {
  // Built on first use, so the single-instance guard, which runs during static
  // initialisation, can already fill it.
  static ProcessState state;
  return state;
}

void EndProcessSilently() { ExitProcess(1); }

std::wstring LoadText(UINT id) {
  wchar_t buffer[1000];
  // GetModuleHandleW(nullptr) rather than the stored instance handle: the guard loads
  // texts before the entry function stores it.
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, buffer, 1000);
  if (length <= 0) EndProcessSilently();
  return std::wstring(buffer, static_cast<std::size_t>(length));
}

}  // namespace qdrl
