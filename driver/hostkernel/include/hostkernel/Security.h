// Share access and the security checks a file system makes on open.
#pragma once

#include "hostkernel/NtDef.h"
