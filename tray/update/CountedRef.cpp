#include "CountedRef.h"

namespace qdrl {

std::mutex& SocketLock() {
  static std::mutex lock;
  return lock;
}

void CCountedRef::AddRef() {
  const std::lock_guard hold(*lock_);
  ++count_;
}

void CCountedRef::Release() {
  bool last;
  {
    const std::lock_guard hold(*lock_);
    last = --count_ == 0;
  }
  // The destructor may take the lock itself.
  if (last) delete this;
}

}  // namespace qdrl
