// Sleuth Kit's listing as tests read it: `fls -r -p` lines such as "r/r 16:\tdocs/a.txt".
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <utility>

// Path -> (type letter of the name, inode number).
inline std::map<std::string, std::pair<char, uint64_t>> ParseFls(const std::string& listing) {
  std::map<std::string, std::pair<char, uint64_t>> entries;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(":\t");
    if (line.size() < 5 || colon == std::string::npos) continue;
    entries[line.substr(colon + 2)] = {line[0], std::stoull(line.substr(4, colon - 4))};
  }
  return entries;
}
