// The byte-range lock package.
#pragma once

#include "hostkernel/NtDef.h"
