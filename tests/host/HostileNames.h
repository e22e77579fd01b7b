// Images whose directories hold entries the image writer refuses to write: names no
// path component can be ("", ".", "..", names with a '/' or a zero byte), and entries
// that name a directory above them. They are written as ordinary entries and their
// directory records changed in place afterwards.
#pragma once

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostTestSupport.h"
#include "Object.h"

namespace hosttest {

namespace hostile {

constexpr size_t BLOCK_SIZE = 4096;  // the writer's default
constexpr size_t NODE_HEADER = 56;   // object header and tree-node fields
constexpr size_t DREC_KEY_HEADER = 12;
constexpr uint64_t DREC_TYPE = 9;

inline uint64_t Le(const uint8_t* p, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; i++) value |= uint64_t(p[i]) << (8 * i);
  return value;
}

inline void PutLe(uint8_t* p, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; i++) p[i] = uint8_t(value >> (8 * i));
}

// A directory record of a tree node block: its key, its table-of-contents entry, and
// its value (null in index nodes, whose values name child nodes).
struct Record {
  uint8_t* key;
  uint8_t* entry;
  uint8_t* value;
};

// Calls change for every directory record of block named name; returns how many.
template <typename Change>
size_t ChangeRecords(std::vector<uint8_t>& block, const std::string& name, Change change) {
  constexpr uint16_t ROOT_NODE = 1;
  const uint16_t flags = uint16_t(Le(&block[32], 2));
  const bool leaf = Le(&block[34], 2) == 0;
  const uint32_t count = uint32_t(Le(&block[36], 4));
  const uint16_t tableOffset = uint16_t(Le(&block[40], 2));
  const uint16_t tableLength = uint16_t(Le(&block[42], 2));
  const size_t keys = NODE_HEADER + tableOffset + tableLength;
  const size_t valuesEnd = block.size() - ((flags & ROOT_NODE) ? 40 : 0);
  size_t changed = 0;
  for (uint32_t i = 0; i < count; i++) {
    uint8_t* entry = &block[NODE_HEADER + tableOffset + 8 * size_t(i)];
    const size_t keyStart = keys + Le(entry, 2);
    const size_t keyLength = Le(entry + 2, 2);
    if (keyLength != DREC_KEY_HEADER + name.size() + 1 || keyStart + keyLength > block.size()) continue;
    uint8_t* key = &block[keyStart];
    if (Le(key, 8) >> 60 != DREC_TYPE || std::memcmp(key + DREC_KEY_HEADER, name.c_str(), keyLength - 12) != 0) {
      continue;
    }
    change(Record{key, entry, leaf ? &block[valuesEnd - Le(entry + 4, 2)] : nullptr});
    changed++;
  }
  return changed;
}

// Applies change to every directory record named name in the image's tree nodes.
template <typename Change>
void ChangeStoredRecords(const fs::path& image, const std::string& name, Change change) {
  std::string bytes = ReadFile(image);
  size_t changed = 0;
  for (size_t at = 0; at + BLOCK_SIZE <= bytes.size(); at += BLOCK_SIZE) {
    std::vector<uint8_t> block(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + BLOCK_SIZE));
    if (Le(&block[24], 2) != 2 && Le(&block[24], 2) != 3) continue;  // not a tree node
    if (ChangeRecords(block, name, change) == 0) continue;
    apfsw::SealObject(block.data(), block.size());
    bytes.replace(at, BLOCK_SIZE, reinterpret_cast<const char*>(block.data()), BLOCK_SIZE);
    changed++;
  }
  if (changed == 0) throw std::runtime_error("no directory record named " + name);
  std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;
}

// Renames the directory record named standIn, in its leaf node and in any index node
// that repeats its key: the name becomes stored (not longer), the key's length in the
// node's table of contents follows, and the hash stays as it was, so that the records
// remain in key order.
inline void RenameStored(const fs::path& image, const std::string& standIn, const std::string& stored) {
  if (stored.size() > standIn.size()) throw std::runtime_error("the stored name must fit the stand-in's place");
  ChangeStoredRecords(image, standIn, [&](const Record& record) {
    const uint32_t hash = uint32_t(Le(record.key + 8, 4)) & ~uint32_t(0x3FF);
    PutLe(record.key + 8, hash | uint32_t(stored.size() + 1), 4);
    std::memset(record.key + DREC_KEY_HEADER, 0, standIn.size() + 1);
    std::memcpy(record.key + DREC_KEY_HEADER, stored.data(), stored.size());
    PutLe(record.entry + 2, DREC_KEY_HEADER + stored.size() + 1, 2);
  });
}

// Makes the directory record named name name the inode number instead.
inline void PointStored(const fs::path& image, const std::string& name, uint64_t inode) {
  ChangeStoredRecords(image, name, [&](const Record& record) {
    if (record.value != nullptr) PutLe(record.value, inode, 8);
  });
}

}  // namespace hostile

// The stored names no path component can be, as the listings' messages show them.
struct HostileName {
  std::string standIn;  // written by the writer, renamed afterwards
  std::string stored;
  std::string shown;
};

inline const std::vector<HostileName>& HostileNames() {
  static const std::vector<HostileName> names = {
      {"E", "", "\"\""},
      {"D", ".", "\".\""},
      {"DD", "..", "\"..\""},
      {"linkXpayload", "link/payload", "\"link/payload\""},
      {"UUUUUUUUUUUUX", "../../../../X", "\"../../../../X\""},
      {"aNb", std::string("a\0b", 3), "\"a\\x00b\""},
  };
  return names;
}

// A volume whose root and whose directory "sub" hold every hostile name beside good
// entries: /good.txt, /sub/inner.txt, /sub/deeper/leaf.txt, and /link, a symbolic link to
// outside, through which "link/payload" taken as a path would be written.
inline void WriteHostileNamesImage(const fs::path& image, const fs::path& outside) {
  nlohmann::json bad = nlohmann::json::array();
  for (const HostileName& name : HostileNames()) bad.push_back({{"name", name.standIn}, {"text", "hostile\n"}});
  nlohmann::json sub = {{"name", "sub"},
                        {"entries", {{{"name", "inner.txt"}, {"text", "inner\n"}},
                                     {{"name", "deeper"}, {"entries", {{{"name", "leaf.txt"}, {"text", "leaf\n"}}}}}}}};
  nlohmann::json root = {{{"name", "good.txt"}, {"text", "good\n"}},
                         {{"name", "link"}, {"type", "symlink"}, {"target", outside.string()}}};
  // The stand-ins in sub differ from those in the root by a last character that the
  // rename overwrites with the same stored names.
  for (const nlohmann::json& b : bad) {
    root.push_back(b);
    nlohmann::json inSub = b;
    inSub["name"] = b["name"].get<std::string>() + "s";
    sub["entries"].push_back(inSub);
  }
  root.push_back(sub);
  WriteImage(nlohmann::json{{"volumes", {{{"name", "hostile"}, {"entries", root}}}}}.dump(), image);
  for (const HostileName& name : HostileNames()) {
    hostile::RenameStored(image, name.standIn, name.stored);
    hostile::RenameStored(image, name.standIn + "s", name.stored);
  }
}

}  // namespace hosttest
