// Wildcard matching and path dissection.
#include "hostkernel/FsRtlName.h"
