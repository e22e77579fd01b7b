// Volume lifetime: purge, volume lock and unlock, VPB references and dismount.
#include "QdrlProcs.h"
