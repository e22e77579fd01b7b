#include "IndependentReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "Object.h"

namespace apfsw::testing {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

ImageInspector::ImageInspector(const std::string& path, uint32_t blockSize) : blockSize_(blockSize) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path);
}

ImageInspector::~ImageInspector() { ::close(fd_); }

std::vector<uint8_t> ImageInspector::Block(uint64_t address) const {
  std::vector<uint8_t> block(blockSize_);
  if (::pread(fd_, block.data(), block.size(), static_cast<off_t>(address * blockSize_)) !=
      static_cast<ssize_t>(block.size()))
    throw std::runtime_error("short read at block " + std::to_string(address));
  return block;
}

bool ImageInspector::ChecksumValid(uint64_t address) const {
  const std::vector<uint8_t> block = Block(address);
  return ObjectChecksumValid(block.data(), block.size());
}

std::vector<ImageInspector::Record> ImageInspector::WalkTree(
    uint64_t rootAddress, const std::function<uint64_t(uint64_t)>& resolve, TreeShape* shape) const {
  std::vector<Record> records;
  TreeShape local;
  WalkNode(rootAddress, true, -1, resolve, records, local, 1);
  if (shape) *shape = local;
  return records;
}

std::vector<ImageInspector::Record> ImageInspector::WalkPhysicalTree(uint64_t rootAddress, TreeShape* shape) const {
  return WalkTree(rootAddress, [](uint64_t address) { return address; }, shape);
}

void ImageInspector::WalkNode(uint64_t address, bool root, int expectedLevel,
                              const std::function<uint64_t(uint64_t)>& resolve, std::vector<Record>& out,
                              TreeShape& shape, uint32_t depthSoFar) const {
  const std::vector<uint8_t> b = Block(address);
  EXPECT_TRUE(ObjectChecksumValid(b.data(), b.size())) << "node at " << address;
  const uint16_t flags = Le16(&b[32]);
  const uint16_t level = Le16(&b[34]);
  const uint32_t count = Le32(&b[36]);
  EXPECT_EQ(Le32(&b[24]) & 0xFFFF, root ? 2u : 3u) << "node at " << address;
  EXPECT_EQ((flags & 1) != 0, root) << "node at " << address;
  EXPECT_EQ((flags & 2) != 0, level == 0) << "node at " << address;
  if (expectedLevel >= 0) {
    EXPECT_EQ(level, expectedLevel) << "node at " << address;
  }
  ++shape.nodes;
  shape.depth = std::max(shape.depth, depthSoFar);
  shape.mostEntriesPerNode = std::max(shape.mostEntriesPerNode, count);
  if (root) shape.footerKeyCount = Le64(&b[b.size() - 40 + 24]);
  if (level == 0) ++shape.leaves;
  const bool fixed = (flags & 4) != 0;
  const size_t keyStart = 56 + Le16(&b[42]);
  const size_t valueEnd = b.size() - (root ? 40 : 0);
  const uint32_t subtype = Le32(&b[28]);
  const size_t fixedKey = subtype == 0x13 || subtype == 0x1A ? 8 : 16;
  const size_t fixedValue = level > 0 ? 8 : (subtype == 0x09 || subtype == 0x1A ? 8 : 16);
  for (uint32_t i = 0; i < count; ++i) {
    size_t keyOffset, keyLength, valueOffset, valueLength;
    if (fixed) {
      keyOffset = Le16(&b[56 + 4 * i]), keyLength = fixedKey;
      valueOffset = Le16(&b[58 + 4 * i]), valueLength = fixedValue;
    } else {
      keyOffset = Le16(&b[56 + 8 * i]), keyLength = Le16(&b[58 + 8 * i]);
      valueOffset = Le16(&b[60 + 8 * i]), valueLength = Le16(&b[62 + 8 * i]);
    }
    Record r;
    r.key.assign(b.begin() + static_cast<std::ptrdiff_t>(keyStart + keyOffset),
                 b.begin() + static_cast<std::ptrdiff_t>(keyStart + keyOffset + keyLength));
    r.value.assign(b.begin() + static_cast<std::ptrdiff_t>(valueEnd - valueOffset),
                   b.begin() + static_cast<std::ptrdiff_t>(valueEnd - valueOffset + valueLength));
    if (level == 0) {
      r.leaf = shape.leaves - 1;
      out.push_back(std::move(r));
    } else {
      WalkNode(resolve(Le64(r.value.data())), false, level - 1, resolve, out, shape, depthSoFar + 1);
    }
  }
}

std::map<uint64_t, std::vector<ImageInspector::Mapping>> ImageInspector::ReadObjectMap(uint64_t headerAddress) const {
  const std::vector<uint8_t> header = Block(headerAddress);
  EXPECT_EQ(Le32(&header[24]) & 0xFFFF, 0x0Bu);
  std::map<uint64_t, std::vector<Mapping>> map;
  for (const Record& r : WalkPhysicalTree(Le64(&header[48])))
    map[Le64(r.key.data())].push_back({Le64(&r.key[8]), Le32(r.value.data()), Le64(&r.value[8])});
  return map;
}

std::string RunCommand(const std::string& command, int* exitCode) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

bool ToolInstalled(const std::string& name) {
  int code = 0;
  RunCommand("command -v " + name + " >/dev/null 2>&1", &code);
  return code == 0;
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "apfsw-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace apfsw::testing
