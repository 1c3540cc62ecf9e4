// The WMI include surface: WMILIB, the WNODE structures, provider registration and the
// software-trace calls.
#pragma once

#include "kwplat/kernel.h"

#if defined(_WIN32)

#  include <wmistr.h>
#  include <wmilib.h>

// wdm.h declares WmiTraceMessage only for RUN_WPP builds (which also drag in the
// user-mode evntrace.h); the kernel exports it regardless.
extern "C" NTSTATUS __cdecl WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                            USHORT MessageNumber, ...);

// Callback registration of trace providers, not in mingw's wdm.h.
#  ifndef WMIREG_FLAG_CALLBACK
#    define WMIREG_FLAG_CALLBACK 0x80000000
#  endif
typedef NTSTATUS (*WMIENTRY)(UCHAR ActionCode, PVOID DataPath, ULONG BufferSize, PVOID Buffer, PVOID Context,
                             PULONG Size);

// Message flags of WmiTraceMessage (evntrace.h is user mode).
#  ifndef TRACE_MESSAGE_SEQUENCE
#    define TRACE_MESSAGE_SEQUENCE 1
#    define TRACE_MESSAGE_GUID 2
#    define TRACE_MESSAGE_COMPONENTID 4
#    define TRACE_MESSAGE_TIMESTAMP 8
#    define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#    define TRACE_MESSAGE_SYSTEMINFO 32
#  endif

#else

#  include "simnt/wmistr.h"
#  include "simnt/wmilib.h"
#  include "simnt/wmi.h"

#endif

// The data block that carries a provider's compiled MOF.
#ifndef BINARY_MOF_GUID
#  define BINARY_MOF_GUID {0x05901221, 0xD566, 0x11D1, {0xB2, 0xF0, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}}
#endif
