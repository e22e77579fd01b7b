// A volume with two snapshots whose trees differ from each other and from the live tree
// (a file changed, one removed, one renamed, one added), and what each state holds, for
// tests that read every state back.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ImageDescription.h"

namespace snapshot_scenario {

struct File {
  std::string path;  // from the root, without a leading "/"
  std::string content;
  std::vector<std::pair<std::string, std::string>> xattrs;
};

struct State {
  std::string snapshot;  // empty for the live tree
  std::vector<File> files;
  std::vector<std::string> directories;
};

// The first snapshot's name is not ASCII.
inline const std::string kFirst = "F\xC3\xB8r opgradering \xE2\x98\x83";
inline const std::string kSecond = "weekly 2";

inline std::string Binary() {
  std::string bytes(5000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 + 3);
  return bytes;
}

// Snapshots oldest first, then the live tree.
inline std::vector<State> States() {
  return {
      {kFirst,
       {{"notes.txt", "first draft\n", {{"user.tag", "v1"}}}, {"dir/old.bin", Binary(), {}}},
       {"dir"}},
      {kSecond,
       {{"notes.txt", "second draft, longer\n", {{"user.tag", "v2"}}},
        {"dir/renamed.bin", Binary(), {}},
        {"added.txt", "added in the second\n", {}}},
       {"dir"}},
      {"",
       {{"notes.txt", "final\n", {}}, {"dir/renamed.bin", Binary(), {}}, {"live-only.txt", "now\n", {}}},
       {"dir"}},
  };
}

inline apfsw::Entry* Child(apfsw::Entry& parent, const std::string& name) {
  for (apfsw::Entry& e : parent.children)
    if (e.name == name) return &e;
  return nullptr;
}

inline apfsw::Entry TreeOf(const State& state) {
  apfsw::Entry root = apfsw::DirectoryEntry("root");
  for (const std::string& d : state.directories) root.children.push_back(apfsw::DirectoryEntry(d));
  for (const File& f : state.files) {
    const size_t slash = f.path.find('/');
    apfsw::Entry* parent = slash == std::string::npos ? &root : Child(root, f.path.substr(0, slash));
    apfsw::Entry file;
    file.name = f.path.substr(slash == std::string::npos ? 0 : slash + 1);
    file.size = f.content.size();
    file.content = std::vector<uint8_t>(f.content.begin(), f.content.end());
    for (const auto& [name, value] : f.xattrs)
      file.xattrs.push_back({name, std::vector<uint8_t>(value.begin(), value.end())});
    parent->children.push_back(std::move(file));
  }
  return root;
}

// One volume holding every state; snapshot UUIDs are 0x11.. and 0x22...
inline apfsw::ContainerSpec Spec() {
  apfsw::ContainerSpec spec;
  spec.volumes.resize(1);
  apfsw::VolumeSpec& v = spec.volumes[0];
  v.name = "Snapshots";
  const std::vector<State> states = States();
  uint8_t fill = 0x11;
  for (const State& s : states) {
    if (s.snapshot.empty()) {
      v.root = TreeOf(s);
      continue;
    }
    apfsw::SnapshotSpec snapshot;
    snapshot.name = s.snapshot;
    snapshot.uuid = std::vector<uint8_t>(16, fill);
    fill = uint8_t(fill + 0x11);
    snapshot.root = TreeOf(s);
    v.snapshots.push_back(std::move(snapshot));
  }
  return spec;
}

}  // namespace snapshot_scenario
