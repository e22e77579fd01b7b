// Image descriptions from outside the program: a JSON manifest, or a directory tree on
// the host (files, directories, symlinks, hard links, devices, FIFOs, sockets, xattrs).
//
// Manifest outline (every key optional unless noted; sizes in bytes, times in ns):
//   { "blockSize": 4096, "blockCount": 0, "allocationStart": 0, "seed": 1, "xid": 0,
//     "uuid": "hex", "baseTime": ns, "omapEntryCap": 0, "freeQueueEntries": 0,
//     "freeQueueEntryCap": 0, "keybag": false, "fusion": false,
//     "checkpoints": { "count", "ringBlocks", "firstIndex", "block0", "mapBlocks" },
//     "volumes": [ { "name", "role": "none|system|data|preboot|recovery|vm",
//                    "caseInsensitive", "normalizationInsensitive", "encrypted", "sealed", "uuid",
//                    "password", "passwordIterations",
//                    "nodeEntryCap", "nodeVersions", "quotaBlocks", "reserveBlocks",
//                    "source": "host directory", "entries": [ entry... ] } ] }
//   entry: { "name" (required), "type": "file|dir|symlink|hardlink|fifo|chardev|blockdev|socket",
//            "inode", "mode" (permission bits), "uid", "gid", "bsdFlags",
//            "times": { "create", "modify", "change", "access" },
//            "xattrs": [ { "name", "text" | "hex" | "size", "stream", "flags" } ],
//            "extraXfields": [ { "type", "flags", "hex" } ], "bareInode",
//            "size", "text" | "hex" | "source", "layout": [ { "data": n } | { "hole": n } ],
//            "extentBlocks", "compression": "none|decmpfs|decmpfs-stream|resource-fork",
//            "codec": "zlib|lzvn|lzfse|raw", "storeChunks",
//            "recordUncompressedSize", "cloneOf", "dataless", "target", "rdev",
//            "entries": [ entry... ],
//            "generate": { "count", "prefix", "size" },
//            "collisions": { "with", "count", "prefix" } }
// "generate" adds count files named prefix + number; "collisions" adds files whose names
// hash like "with" (which is added too when absent).
#pragma once

#include <string>

#include "ImageDescription.h"

namespace apfsw {

// Relative "source" paths are taken from baseDirectory.
ContainerSpec ParseManifest(const std::string& json, const std::string& baseDirectory);
ContainerSpec LoadManifest(const std::string& path);

// The tree under `path` as a volume root; entries are sorted by name, so the same tree
// gives the same image.
Entry ReadDirectoryTree(const std::string& path);

}  // namespace apfsw
