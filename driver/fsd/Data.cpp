// The driver's global data: the one GlobalData record, the close limits and lock, the
// lookaside lists and the fast-I/O table.
#include "QdrlProcs.h"

GLOBAL_DATA GlobalData;

// How many closes may wait on the delayed-close list; set by the entry point from the
// system's size.
ULONG MaxDelayedCloses;

// Guards both close lists, their counters and their flags.
FAST_MUTEX CloseQueueMutex;

NPAGED_LOOKASIDE_LIST IrpContextLookaside;
NPAGED_LOOKASIDE_LIST NonPagedFcbLookaside;
NPAGED_LOOKASIDE_LIST ResourceLookaside;

FAST_IO_DISPATCH QdrlFastIoDispatch;
