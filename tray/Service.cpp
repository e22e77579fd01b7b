#include "Service.h"

#include <windows.h>

namespace qdrl {

bool IsServiceRunning() {
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, kServiceRunningEvent);
  if (event == nullptr) return false;
  CloseHandle(event);
  return true;
}

}  // namespace qdrl
