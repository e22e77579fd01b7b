// The kernel interface a file-system driver compiles against. On Linux it is the
// stand-in's: the same names, values and layouts as Windows' kit, over a user-mode model
// of the kernel (see hostkernel/*.h).
#pragma once

#include "hostkernel/NtDef.h"
#include "hostkernel/NtStatus.h"
#include "hostkernel/Seh.h"
#include "hostkernel/Ke.h"
#include "hostkernel/Ex.h"
#include "hostkernel/FileInfo.h"
#include "hostkernel/Io.h"
#include "hostkernel/FsRtl.h"
#include "hostkernel/FsRtlName.h"
#include "hostkernel/Notify.h"
#include "hostkernel/Oplock.h"
#include "hostkernel/FileLock.h"
#include "hostkernel/Cc.h"
#include "hostkernel/Security.h"
#include "hostkernel/StorageIoctl.h"
#include "hostkernel/Rtl.h"
