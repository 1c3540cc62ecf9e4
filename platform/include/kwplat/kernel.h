// The kernel-mode include surface. Drivers and the framework include this and nothing
// else of the platform; it is the one place that knows which kernel they are built for.
#pragma once

#include "kwplat/types.h"

#if defined(_WIN32)

// mingw's wdm.h defines InterlockedBitTestAndSet/Reset a second time after intrin.h did,
// which C++ rejects; take intrin's and park wdm's copies under other names.
#  include <intrin.h>
#  define InterlockedBitTestAndSet KwWdmInterlockedBitTestAndSet
#  define InterlockedBitTestAndReset KwWdmInterlockedBitTestAndReset
#  include <ntddk.h>
#  undef InterlockedBitTestAndSet
#  undef InterlockedBitTestAndReset
#  include <ntstrsafe.h>
// Test hooks of the simulated PC cost nothing here.
#  define KW_SYNC_POINT(name) ((void)0)

#else

#  include "simnt/ntddk.h"
#  include "simnt/io.h"
#  include "simnt/csq.h"
// A named place where a test of the simulated PC can park the thread passing by.
extern "C" void KwSimSyncPoint(const char* name);
#  define KW_SYNC_POINT(name) KwSimSyncPoint(name)

#endif
