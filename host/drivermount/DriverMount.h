// quadrel mount --driver: the FUSE mount served by the Windows driver on the kernel stand-in.
#pragma once

#include "Failure.h"
#include "Options.h"

ExitCode RunDriverMount(const Options& options);
