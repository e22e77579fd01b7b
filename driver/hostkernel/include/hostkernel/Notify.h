// The change-notification package.
#pragma once

#include "hostkernel/NtDef.h"
