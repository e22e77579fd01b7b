// The change-notification package.
#include "hostkernel/Notify.h"
