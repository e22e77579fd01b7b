// The opportunistic-lock package.
#pragma once

#include "hostkernel/NtDef.h"
