// quadrel: reads APFS images from the command line, or mounts one through FUSE.
#include <cstdio>
#include <exception>
#include <new>

#include "Commands.h"
#include "Password.h"
#ifdef QUADREL_DRIVER_MOUNT
#include "DriverMount.h"
#endif

namespace {

ExitCode Run(const Options& o) {
  if (o.command == "info") return RunInfo(o, stdout);
  if (o.command == "ls") return RunLs(o, stdout);
  if (o.command == "stat") return RunStat(o, stdout);
  if (o.command == "cat") return RunCat(o, stdout);
  if (o.command == "xattr") return RunXattr(o, stdout);
  if (o.command == "get") return RunGet(o);
  if (o.driver) {
#ifdef QUADREL_DRIVER_MOUNT
    return RunDriverMount(o);
#else
    throw ReadFailure(ExitCode::Usage, EINVAL, "this build has no driver: mount --driver is not available");
#endif
  }
  return RunMount(o);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseOptions(argc, argv);
    if (options.version) {
      std::puts("quadrel " QUADREL_VERSION);
      return 0;
    }
    if (options.help || options.command == "help") {
      std::fputs(HelpText(options.command == "help" && !options.operands.empty() ? options.operands[0]
                                                                                 : options.command)
                     .c_str(),
                 stdout);
      return 0;
    }
    CheckOptions(options);
    TakePassword(options);
    return int(Run(options));
  } catch (const ReadFailure& failure) {
    std::fprintf(stderr, "quadrel: %s\n", failure.what());
    return int(failure.code());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "quadrel: out of memory\n");
    return int(ExitCode::Corrupt);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quadrel: %s\n", e.what());
    return int(ExitCode::Corrupt);
  }
}
