// Failures a test injects into kernel calls.
#include <map>

#include "HostInternal.h"

namespace {

struct CallFault {
  NTSTATUS Status;
  unsigned Countdown;
};

std::mutex& FaultLock() {
  static std::mutex& Lock = *new std::mutex;
  return Lock;
}

std::map<HkCall, CallFault>& Faults() {
  static std::map<HkCall, CallFault>& Map = *new std::map<HkCall, CallFault>;
  return Map;
}

}  // namespace

void HkFailCall(HkCall Call, NTSTATUS Status, unsigned Nth) {
  std::lock_guard<std::mutex> Lock(FaultLock());
  Faults()[Call] = CallFault{Status, Nth};
}

void HkClearCallFaults() {
  std::lock_guard<std::mutex> Lock(FaultLock());
  Faults().clear();
}

NTSTATUS hk::TakeCallFault(HkCall Call) {
  std::lock_guard<std::mutex> Lock(FaultLock());
  auto Found = Faults().find(Call);
  if (Found == Faults().end() || --Found->second.Countdown != 0) return STATUS_SUCCESS;
  NTSTATUS Status = Found->second.Status;
  Faults().erase(Found);
  return Status;
}
