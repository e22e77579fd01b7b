#include "WorkerThread.h"

#include "ProcessState.h"

namespace qdrl {

CWorkerThread::~CWorkerThread() {
  if (thread_ != nullptr) CloseHandle(thread_);
}

void CWorkerThread::Start() {
  const DWORD flags = stackReservation_ != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
  thread_ = CreateThread(nullptr, stackReservation_, &CWorkerThread::Run, this, flags, nullptr);
  if (thread_ == nullptr) EndProcessSilently();
}

bool CWorkerThread::HasEnded() const {
  return thread_ != nullptr && WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0;
}

DWORD WINAPI CWorkerThread::Run(void* self) {
  auto* thread = static_cast<CWorkerThread*>(self);
  return thread->routine_(thread);
}

}  // namespace qdrl
