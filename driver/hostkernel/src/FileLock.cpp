// The byte-range lock package.
#include "hostkernel/FileLock.h"
