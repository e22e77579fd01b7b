// The run-time library's name helpers: wildcard matching and path dissection.
#pragma once

#include "hostkernel/NtDef.h"
