// A small reader of written images for the writer's tests: blocks, checksums, B-tree
// walks and object-map lookups, written from the on-disk format independently of both the
// writer's encoders and the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace apfsw::testing {

uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);
uint64_t Le64(const uint8_t* p);

class ImageInspector {
 public:
  ImageInspector(const std::string& path, uint32_t blockSize);
  ~ImageInspector();
  ImageInspector(const ImageInspector&) = delete;
  ImageInspector& operator=(const ImageInspector&) = delete;

  std::vector<uint8_t> Block(uint64_t address) const;
  bool ChecksumValid(uint64_t address) const;
  uint32_t BlockSize() const { return blockSize_; }

  struct Record {
    std::vector<uint8_t> key;
    std::vector<uint8_t> value;
    uint64_t leaf = 0;  // ordinal of the leaf holding the record
  };
  struct TreeShape {
    uint32_t depth = 0;
    uint64_t nodes = 0;
    uint64_t leaves = 0;
    uint32_t mostEntriesPerNode = 0;
    uint64_t footerKeyCount = 0;
  };
  // Every leaf record in tree order. Child references go through `resolve` (identity for
  // physical trees). Fails the current test on a bad checksum, type or level.
  std::vector<Record> WalkTree(uint64_t rootAddress, const std::function<uint64_t(uint64_t)>& resolve,
                               TreeShape* shape = nullptr) const;
  std::vector<Record> WalkPhysicalTree(uint64_t rootAddress, TreeShape* shape = nullptr) const;

  struct Mapping {
    uint64_t xid = 0;
    uint32_t flags = 0;
    uint64_t address = 0;
  };
  // Every mapping of an object map, by object id, oldest first.
  std::map<uint64_t, std::vector<Mapping>> ReadObjectMap(uint64_t headerAddress) const;

 private:
  void WalkNode(uint64_t address, bool root, int expectedLevel,
                const std::function<uint64_t(uint64_t)>& resolve, std::vector<Record>& out,
                TreeShape& shape, uint32_t depthSoFar) const;
  int fd_ = -1;
  uint32_t blockSize_;
};

// Runs a shell command and returns its standard output; exitCode receives its status.
std::string RunCommand(const std::string& command, int* exitCode = nullptr);
bool ToolInstalled(const std::string& name);

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace apfsw::testing
