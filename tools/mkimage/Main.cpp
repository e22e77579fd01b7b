// quadrel-mkimage: writes an APFS image from a JSON manifest or a host directory tree.
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ImageWriter.h"
#include "Manifest.h"
#include "Patch.h"

namespace {

constexpr char kUsage[] =
    "usage: quadrel-mkimage (--manifest FILE | --tree DIR) [options] IMAGE\n"
    "  --manifest FILE        JSON description of the container (see quadrel-mkimage(1))\n"
    "  --tree DIR             one volume holding the host tree DIR\n"
    "  --block-size N         block size for --tree (4096 .. 65536)\n"
    "  --volume-name NAME     volume name for --tree\n"
    "  --case-sensitive       --tree volume compares names case-sensitively\n"
    "  --seed N               seed of UUIDs and default times for --tree\n"
    "  --layout FILE          write object addresses and file extents as JSON\n"
    "  --patch OBJ:FIELD=VAL  after writing, set a field (append ',stale' to keep the old\n"
    "                         checksum); repeatable, e.g. 'volume[0].superblock:apfs_role=1'\n"
    "  --help                 this text\n"
    "  --version              the version of quadrel-mkimage\n";

struct Options {
  std::string manifest, tree, layout, image, volumeName = "untitled";
  uint32_t blockSize = 4096;
  uint64_t seed = 1;
  bool caseSensitive = false;
  bool help = false, version = false;
  std::vector<std::string> patches;
};

Options ParseArguments(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--manifest") o.manifest = value();
    else if (arg == "--tree") o.tree = value();
    else if (arg == "--layout") o.layout = value();
    else if (arg == "--block-size") o.blockSize = static_cast<uint32_t>(std::stoul(value()));
    else if (arg == "--volume-name") o.volumeName = value();
    else if (arg == "--seed") o.seed = std::stoull(value());
    else if (arg == "--case-sensitive") o.caseSensitive = true;
    else if (arg == "--patch") o.patches.push_back(value());
    else if (arg == "--help") o.help = true;
    else if (arg == "--version") o.version = true;
    else if (!arg.empty() && arg[0] == '-') throw std::runtime_error("unknown option " + arg);
    else if (o.image.empty()) o.image = arg;
    else throw std::runtime_error("more than one image path");
  }
  if (o.help || o.version) return o;
  if (o.image.empty() || o.manifest.empty() == o.tree.empty())
    throw std::runtime_error("give an image path and exactly one of --manifest and --tree");
  return o;
}

apfsw::ContainerSpec SpecOf(const Options& o) {
  if (!o.manifest.empty()) return apfsw::LoadManifest(o.manifest);
  apfsw::ContainerSpec spec;
  spec.blockSize = o.blockSize;
  spec.seed = o.seed;
  apfsw::VolumeSpec volume;
  volume.name = o.volumeName;
  volume.caseInsensitive = !o.caseSensitive;
  volume.root = apfsw::ReadDirectoryTree(o.tree);
  spec.volumes.push_back(std::move(volume));
  return spec;
}

// "OBJECT:FIELD=VALUE[,stale]"
void ApplyPatch(const std::string& image, const apfsw::WriteResult& result, const std::string& patch) {
  const size_t colon = patch.find(':');
  const size_t equals = patch.find('=', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || equals == std::string::npos)
    throw std::runtime_error("patch must read OBJECT:FIELD=VALUE: " + patch);
  std::string value = patch.substr(equals + 1);
  apfsw::ChecksumMode mode = apfsw::ChecksumMode::Recompute;
  if (const size_t comma = value.find(','); comma != std::string::npos) {
    if (value.substr(comma + 1) != "stale") throw std::runtime_error("unknown patch flag in " + patch);
    mode = apfsw::ChecksumMode::Stale;
    value.resize(comma);
  }
  apfsw::PatchField(image, result, patch.substr(0, colon), patch.substr(colon + 1, equals - colon - 1),
                    std::stoull(value, nullptr, 0), mode);
}

void WriteLayout(const std::string& path, const apfsw::WriteResult& r) {
  nlohmann::json j;
  j["blockSize"] = r.blockSize;
  j["blockCount"] = r.blockCount;
  j["xid"] = r.xid;
  j["freeBlocks"] = r.freeBlocks;
  for (const apfsw::ObjectLocation& o : r.objects)
    j["objects"].push_back({{"name", o.name}, {"address", o.address}, {"oid", o.oid}, {"type", o.type}});
  for (const apfsw::VolumeLayout& v : r.volumes) {
    nlohmann::json volume = {{"superblockOid", v.superblockOid}, {"superblockAddress", v.superblockAddress},
                             {"omapAddress", v.omapAddress},     {"rootTreeOid", v.rootTreeOid},
                             {"treeDepth", v.treeDepth},         {"treeNodes", v.treeNodes},
                             {"treeRecords", v.treeRecords},     {"files", nlohmann::json::array()}};
    for (const apfsw::FileLocation& f : v.files) {
      nlohmann::json file = {{"path", f.path}, {"inode", f.inode}, {"streamId", f.streamId}, {"size", f.size}};
      for (const apfsw::ExtentLocation& e : f.extents)
        file["extents"].push_back({e.logicalOffset, e.length, e.physicalBlock});
      volume["files"].push_back(std::move(file));
    }
    j["volumes"].push_back(std::move(volume));
  }
  std::ofstream(path) << j.dump(1) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseArguments(argc, argv);
    if (options.version) {
      std::puts("quadrel-mkimage " QUADREL_VERSION);
      return 0;
    }
    if (options.help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const apfsw::WriteResult result = apfsw::WriteImage(SpecOf(options), options.image);
    for (const std::string& patch : options.patches) ApplyPatch(options.image, result, patch);
    if (!options.layout.empty()) WriteLayout(options.layout, result);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quadrel-mkimage: %s\n%s", e.what(), argc < 2 ? kUsage : "");
    return argc < 2 ? 2 : 1;
  }
}
