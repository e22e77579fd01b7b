// The cache manager and sections for mapped files.
#include "hostkernel/Cc.h"
