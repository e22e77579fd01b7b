// The directories a recursive walk (ls -R, get) is inside. A damaged or crafted volume
// may hold an entry that names a directory above it; entered again, it would make the
// walk endless. Such an entry is reported and not entered.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Failure.h"

class Descent {
 public:
  // Whether the walk is inside directory inode (an inode number).
  bool Inside(uint64_t inode) const { return std::find(path_.begin(), path_.end(), inode) != path_.end(); }

  // Keeps directory inode entered for the life of the object.
  class Step {
   public:
    Step(Descent& descent, uint64_t inode) : descent_(descent) { descent_.path_.push_back(inode); }
    ~Step() { descent_.path_.pop_back(); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

   private:
    Descent& descent_;
  };

 private:
  std::vector<uint64_t> path_;
};

// The report of the entry at path that names directory inode, which holds it.
inline ReadFailure LeadsBack(const std::string& path, uint64_t inode) {
  return Corrupt(path + ": names directory inode " + std::to_string(inode) + ", which holds it; not entered again");
}
