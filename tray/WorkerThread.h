// A thread owned by an object: the start routine receives the object itself.
#pragma once

#include <windows.h>

namespace qdrl {

class CWorkerThread {
 public:
  using StartRoutine = DWORD (*)(CWorkerThread* self);

  explicit CWorkerThread(StartRoutine routine, SIZE_T stackReservation = 0)
      : routine_(routine), stackReservation_(stackReservation) {}
  virtual ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // Starts the thread; if it cannot be created the process ends with exit code 1.
  void Start();
  // True once the thread has ended (a zero-timeout wait on its handle succeeds).
  bool HasEnded() const;
  HANDLE Handle() const { return thread_; }

 private:
  static DWORD WINAPI Run(void* self);

  HANDLE thread_ = nullptr;
  StartRoutine routine_;
  SIZE_T stackReservation_;
};

}  // namespace qdrl
