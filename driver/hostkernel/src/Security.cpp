// Share access and the security checks on open.
#include "hostkernel/Security.h"
