// The JSON documents of `quadrel info`, `ls --json` and `stat --json`. The schema is
// documented in README.md; fields are only ever added, never renamed or removed.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "ApfsImage.h"
#include "VolumeReader.h"

constexpr int JSON_SCHEMA_VERSION = 1;

// "file", "dir", "symlink", "fifo", "chardev", "blockdev", "socket" or "unknown".
const char* TypeName(uint32_t mode);
std::string OctalMode(uint32_t mode);

nlohmann::json InfoJson(ApfsImage& image);
// The snapshots info shows for volume v: none for a volume that cannot be read; when the
// list itself is unreadable, none and the reason in *error.
std::vector<SnapshotSummary> ListedSnapshots(ApfsImage& image, const VolumeSummary& v, std::string* error);
// One entry of a listing or the object of stat, at volume path `path`.
nlohmann::json EntryJson(Session& session, Inode* inode, const std::string& path);
