// The commands of quadrel. Each writes its answer to out and throws ReadFailure when it
// cannot; the return value is the exit status of a command that did finish.
#pragma once

#include <cstdio>

#include "Failure.h"
#include "Options.h"

ExitCode RunInfo(const Options& options, FILE* out);
ExitCode RunLs(const Options& options, FILE* out);
ExitCode RunStat(const Options& options, FILE* out);
ExitCode RunCat(const Options& options, FILE* out);
ExitCode RunXattr(const Options& options, FILE* out);
ExitCode RunGet(const Options& options);
ExitCode RunMount(const Options& options);

// The volume path an operand names, as listings print it: "/" and the components,
// with "." and ".." resolved ("a/../b/" gives "/b").
std::string VolumePath(const std::string& operand);
// "-rw-r--r--" for a mode.
std::string ModeString(uint32_t mode);
// "2019-05-19 23:00:52.537085527 UTC"
std::string TimeString(uint64_t nanoseconds);
