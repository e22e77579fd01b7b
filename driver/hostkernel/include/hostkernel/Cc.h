// The cache manager and the memory manager's sections for mapped files.
#pragma once

#include "hostkernel/NtDef.h"
