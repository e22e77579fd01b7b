// The one-dialog-at-a-time rule of a dialog parent: a command is ignored while the
// flag is set, and the flag is cleared when the command's dialog closes, also when it
// closes by an exception.
#pragma once

#include <cstdint>

namespace qdrl {

class BusyScope {
 public:
  // Takes the flag when it is free; Acquired() tells whether it did.
  explicit BusyScope(std::uint8_t& flag) : flag_(flag), acquired_(flag == 0) {
    if (acquired_) flag_ = 1;
  }
  ~BusyScope() {
    if (acquired_) flag_ = 0;
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

  bool Acquired() const { return acquired_; }

 private:
  std::uint8_t& flag_;
  bool acquired_;
};

}  // namespace qdrl
