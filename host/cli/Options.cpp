#include "Options.h"

#include <cstring>
#include <map>

#include "Failure.h"

namespace {

ReadFailure UsageError(const std::string& message) {
  return ReadFailure(ExitCode::Usage, EINVAL, message + " (see quadrel --help)");
}

int32_t VolumeNumber(const std::string& text) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError("--volume takes a volume index (0-99), not \"" + text + "\"");
  }
  const int32_t n = std::stoi(text);
  if (n > 99) throw UsageError("--volume takes a volume index (0-99), not \"" + text + "\"");
  return n;
}

std::string SnapshotName(const std::string& text) {
  if (text.empty()) throw UsageError("--snapshot takes a snapshot's name or transaction number");
  return text;
}

void ShortFlags(const std::string& arg, Options& o) {
  for (size_t i = 1; i < arg.size(); i++) {
    switch (arg[i]) {
      case 'l': o.longFormat = true; break;
      case 'R': o.recursive = true; break;
      case 'a': o.all = true; break;
      case 'f': o.foreground = true; break;
      case 'd': o.debug = true; o.foreground = true; break;
      case 'h': o.help = true; break;
      default: throw UsageError(std::string("unknown option -") + arg[i]);
    }
  }
}

struct CommandRule {
  size_t minOperands, maxOperands;
  bool json, lsFlags, mountFlags;
};

const std::map<std::string, CommandRule>& Rules() {
  static const std::map<std::string, CommandRule> rules = {
      {"info", {1, 1, true, false, false}},  {"ls", {1, 2, true, true, false}},
      {"stat", {2, 2, true, false, false}},  {"cat", {2, 2, false, false, false}},
      {"xattr", {2, 3, false, false, false}}, {"get", {3, 3, false, false, false}},
      {"mount", {2, 2, false, false, true}},
  };
  return rules;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
  Options o;
  bool operandsOnly = false;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (operandsOnly || arg.empty() || arg[0] != '-' || arg == "-") {
      if (o.command.empty()) o.command = arg;
      else o.operands.push_back(arg);
    } else if (arg == "--") {
      operandsOnly = true;
    } else if (arg == "--volume") {
      o.volume = VolumeNumber(value());
    } else if (arg.rfind("--volume=", 0) == 0) {
      o.volume = VolumeNumber(arg.substr(9));
    } else if (arg == "--snapshot") {
      o.snapshot = SnapshotName(value());
    } else if (arg.rfind("--snapshot=", 0) == 0) {
      o.snapshot = SnapshotName(arg.substr(11));
    } else if (arg == "--password-file") {
      o.passwordFile = value();
    } else if (arg == "--password-stdin") {
      o.passwordStdin = true;
    } else if (arg == "--password") {
      o.password = value();
      o.passwordGiven = true;
      // Out of sight of later looks at the process's command line, at least.
      std::memset(argv[i], 'x', std::strlen(argv[i]));
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--help") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--driver") {
      o.driver = true;
    } else if (arg == "--cdrom") {
      o.cdrom = true;
    } else if (arg == "-o") {
      o.mountOptions.push_back(value());
    } else if (arg.size() > 1 && arg[1] != '-') {
      ShortFlags(arg, o);
    } else {
      throw UsageError("unknown option " + arg);
    }
  }
  return o;
}

void CheckOptions(const Options& o) {
  if (o.command.empty()) throw UsageError("no command given");
  const auto rule = Rules().find(o.command);
  if (rule == Rules().end()) throw UsageError("unknown command \"" + o.command + "\"");
  const CommandRule& r = rule->second;
  if (o.operands.size() < r.minOperands) throw UsageError(o.command + ": missing operand");
  if (o.operands.size() > r.maxOperands) throw UsageError(o.command + ": too many operands");
  if (o.json && !r.json) throw UsageError(o.command + " has no --json output");
  if (!o.snapshot.empty() && o.command == "info") {
    throw UsageError("info lists every snapshot: --snapshot belongs to the commands that read a volume");
  }
  if (int(!o.passwordFile.empty()) + int(o.passwordStdin) + int(o.passwordGiven) > 1) {
    throw UsageError("give the password one way: --password-file, --password-stdin or --password");
  }
  if ((o.longFormat || o.recursive || o.all) && !r.lsFlags) {
    throw UsageError("-l, -R and -a belong to ls");
  }
  if ((o.foreground || o.debug || !o.mountOptions.empty()) && !r.mountFlags) {
    throw UsageError("-f, -d and -o belong to mount");
  }
  if ((o.driver || o.cdrom) && !r.mountFlags) throw UsageError("--driver and --cdrom belong to mount");
  if (o.cdrom && !o.driver) throw UsageError("--cdrom belongs to the driver's mount: give --driver too");
  // The driver mounts the container's default volume as it stands, and refuses encrypted ones.
  if (o.driver && (o.volume >= 0 || !o.snapshot.empty() || !o.passwordFile.empty() || o.passwordStdin || o.passwordGiven)) {
    throw UsageError("the driver mounts the default volume as it stands: --volume, --snapshot and passwords do not apply");
  }
}

std::string HelpText(const std::string& command) {
  static const std::map<std::string, std::string> texts = {
      {"info",
       "usage: quadrel info [--json] IMAGE\n"
       "The container (layout, block size and count, free blocks, newest checkpoint\n"
       "transaction, checkpoints in the ring) and every volume (index, name, role, case\n"
       "sensitivity, encryption; * marks the default volume) with its snapshots (name,\n"
       "transaction, creation time, UUID).\n"},
      {"ls",
       "usage: quadrel ls [-l] [-R] [-a] [--json] [--volume N] [--snapshot S] IMAGE [PATH]\n"
       "Lists the directory PATH (default /), or PATH itself when it is not a directory.\n"
       "  -l  long format: mode, links, owner, group, size, modification time, name\n"
       "  -R  recursive: every entry below PATH, with its full path\n"
       "  -a  include names that begin with a dot\n"
       "Entries whose stored names cannot be file names are reported and left out (status 1).\n"},
      {"stat",
       "usage: quadrel stat [--json] [--volume N] [--snapshot S] IMAGE PATH\n"
       "Everything known of PATH: type, inode, links, mode, owner, size, flags, the four\n"
       "times in nanoseconds and the extended attributes.\n"},
      {"cat",
       "usage: quadrel cat [--volume N] [--snapshot S] IMAGE PATH\n"
       "Writes the contents of the regular file PATH to standard output.\n"},
      {"xattr",
       "usage: quadrel xattr [--volume N] [--snapshot S] IMAGE PATH [NAME]\n"
       "Without NAME lists the extended attributes of PATH with their sizes; with NAME\n"
       "writes that attribute's value to standard output.\n"},
      {"get",
       "usage: quadrel get [--volume N] [--snapshot S] IMAGE PATH DEST\n"
       "Extracts the file or the whole tree PATH to DEST (inside DEST when DEST is an\n"
       "existing directory), keeping modes, nanosecond times, symbolic links, hard links,\n"
       "holes, extended attributes (as user.NAME, where DEST supports them) and, when run\n"
       "as root, owners and device files. Shows progress on a terminal. Writes nothing\n"
       "outside DEST; entries that cannot be extracted are reported and skipped (status 1).\n"},
      {"mount",
       "usage: quadrel mount [--volume N] [--snapshot S] [--driver [--cdrom]] [-f] [-d] [-o OPTION[,OPTION...]] IMAGE MOUNTPOINT\n"
       "Mounts the volume read-only through FUSE; unmount with fusermount3 -u MOUNTPOINT,\n"
       "or end the mount with SIGTERM, SIGINT or SIGHUP.\n"
       "  -f  stay in the foreground      -d  foreground with FUSE debug output\n"
       "  -o  FUSE mount options, e.g. allow_other\n"
       "  --driver  serve the mount through the Windows driver on the kernel stand-in (the\n"
       "            default volume; what the driver hides is absent; with -d, the driver's\n"
       "            pool at unmount is reported even when nothing is left)\n"
       "  --cdrom   with --driver: attach the image as a CD-ROM instead of a disk\n"},
  };
  const auto found = texts.find(command);
  if (found != texts.end()) return found->second;
  std::string all =
      "usage: quadrel COMMAND [OPTIONS] IMAGE ...\n"
      "Reads APFS images (bare containers, GPT disk images, carved images) read-only.\n\n"
      "Commands:\n"
      "  info   IMAGE                 the container and its volumes\n"
      "  ls     IMAGE [PATH]          list a directory (-l, -R, -a)\n"
      "  stat   IMAGE PATH            attributes of one entry\n"
      "  cat    IMAGE PATH            contents of a file\n"
      "  xattr  IMAGE PATH [NAME]     extended attributes\n"
      "  get    IMAGE PATH DEST       extract a file or a tree\n"
      "  mount  IMAGE MOUNTPOINT      read-only FUSE mount\n\n"
      "Options:\n"
      "  --volume N   volume index (default: the container's default volume)\n"
      "  --snapshot S the volume as snapshot S (a name or transaction number) keeps it\n"
      "  --json       JSON output (info, ls, stat)\n"
      "  --password-file FILE  the password of encrypted volumes: FILE's first line\n"
      "  --password-stdin      the password: the first line of standard input\n"
      "  --password PASS       the password itself: visible to other users, for tests\n"
      "               and scripts only. Without these, a terminal asks for it.\n"
      "  --help       this text, or a command's (quadrel ls --help)\n"
      "  --version    the version of quadrel\n\n"
      "Exit status: 0 done, 1 partly done, 2 usage, 3 image unreadable, 4 not APFS,\n"
      "5 corrupt, 6 volume unusable, 7 no such path, 8 unsupported contents, 9 output failed,\n"
      "10 mount failed. See quadrel(1).\n";
  return all;
}
