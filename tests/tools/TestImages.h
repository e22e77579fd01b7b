// Builders of image specifications shared by the writer's tests.
#pragma once

#include <string>
#include <vector>

#include "ImageDescription.h"

namespace apfsw::testing {

inline Entry PatternFile(const std::string& name, uint64_t size) {
  Entry e;
  e.name = name;
  e.size = size;
  return e;
}

inline Entry TextFile(const std::string& name, const std::string& text) {
  Entry e;
  e.name = name;
  e.content = std::vector<uint8_t>(text.begin(), text.end());
  e.size = text.size();
  return e;
}

inline Entry Directory(const std::string& name, std::vector<Entry> children) {
  Entry e = DirectoryEntry(name);
  e.children = std::move(children);
  return e;
}

inline Entry Link(const std::string& name, EntryKind kind, const std::string& target) {
  Entry e;
  e.name = name;
  e.kind = kind;
  e.target = target;
  return e;
}

inline Entry Special(const std::string& name, EntryKind kind, uint32_t rdev = 0) {
  Entry e;
  e.name = name;
  e.kind = kind;
  e.rdev = rdev;
  return e;
}

inline ContainerSpec OneVolume(std::vector<Entry> entries, uint32_t blockSize = 4096) {
  ContainerSpec spec;
  spec.blockSize = blockSize;
  VolumeSpec volume;
  volume.name = "Test";
  volume.root.children = std::move(entries);
  spec.volumes.push_back(std::move(volume));
  return spec;
}

// A volume with one of most kinds of entry the writer makes, all of them readable by the
// independent readers (no sparse tail, no hash-less records).
inline std::vector<Entry> MixedEntries(uint64_t blockSize = 4096) {
  Entry withXattrs = TextFile("attributes.txt", "has attributes\n");
  withXattrs.xattrs.push_back({"user.small", {'o', 'k'}, false});
  withXattrs.xattrs.push_back({"user.stream", std::vector<uint8_t>(6000, 0x5A), true});
  Entry sparse = PatternFile("sparse.bin", 3 * blockSize + 1000);
  sparse.layout = {{blockSize, false}, {2 * blockSize, true}, {1000, false}};
  Entry fragmented = PatternFile("fragmented.bin", 20 * blockSize + 17);
  fragmented.extentBlocks = 1;
  Entry clone = PatternFile("clone.bin", 0);
  clone.cloneOf = "fragmented.bin";
  Entry inlineCompressed = PatternFile("inline.z", 3000);
  inlineCompressed.compression = Compression::DecmpfsEmbedded;
  Entry streamCompressed = PatternFile("stream.z", 200000);
  streamCompressed.compression = Compression::DecmpfsStream;
  Entry forkCompressed = PatternFile("fork.z", 150000);
  forkCompressed.compression = Compression::ResourceFork;
  forkCompressed.recordUncompressedSize = false;
  Entry old = TextFile("old.txt", "from 1960\n");
  old.times = Times{-315619200000000000, -315619199000000000, -315619198000000000, -315619197000000000};
  return {
      TextFile("hello.txt", "Hello, world!\n"),
      PatternFile("large.bin", 300000),
      withXattrs,
      sparse,
      fragmented,
      clone,
      inlineCompressed,
      streamCompressed,
      forkCompressed,
      old,
      Directory("docs", {PatternFile("report.pdf", 12345), Link("again.txt", EntryKind::HardLink, "hello.txt"),
                         Link("up", EntryKind::Symlink, "../hello.txt"),
                         Directory("deeper", {TextFile("\xC3\xA9t\xC3\xA9.txt", "precomposed"),
                                              TextFile("e\xCC\x81te\xCC\x81.txt", "decomposed, same hash"),
                                              TextFile("\xED\x95\x9C\xEA\xB8\x80", "hangul"),
                                              TextFile("\xF0\x9F\x98\x80", "emoji"),
                                              TextFile(std::string(255, 'n'), "long name")})}),
      Special("pipe", EntryKind::Fifo),
      Special("tty", EntryKind::CharDevice, 4u << 24 | 1),
      Special("disk", EntryKind::BlockDevice, 8u << 24 | 3),
      Special("socket", EntryKind::Socket),
  };
}

}  // namespace apfsw::testing
