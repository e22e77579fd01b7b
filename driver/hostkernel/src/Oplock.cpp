// The opportunistic-lock package.
#include "hostkernel/Oplock.h"
