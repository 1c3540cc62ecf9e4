// Kernel WMI: provider registration and the software-trace calls.
#pragma once
#include "simnt/io.h"
#include "simnt/wmistr.h"

#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4
#define WMIREG_ACTION_BLOCK_IRPS 5
// With this flag the "device object" passed to IoWMIRegistrationControl is a block whose
// first member is a WMIENTRY routine; WMI calls it instead of sending IRPs.
#define WMIREG_FLAG_CALLBACK 0x80000000

typedef NTSTATUS (*WMIENTRY)(UCHAR ActionCode, PVOID DataPath, ULONG BufferSize, PVOID Buffer, PVOID Context,
                             PULONG Size);

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;

typedef enum _TRACE_INFORMATION_CLASS {
    TraceIdClass,
    TraceHandleClass,
    TraceEnableFlagsClass,
    TraceEnableLevelClass,
    GlobalLoggerHandleClass,
    EventLoggerHandleClass,
    AllLoggerHandlesClass,
    TraceHandleByNameClass,
    LoggerEventsLostClass,
    TraceSessionSettingsClass,
    LoggerEventsLoggedClass,
    MaxTraceInformationClass
} TRACE_INFORMATION_CLASS;

#define TRACE_MESSAGE_SEQUENCE 1
#define TRACE_MESSAGE_GUID 2
#define TRACE_MESSAGE_COMPONENTID 4
#define TRACE_MESSAGE_TIMESTAMP 8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO 32

#ifdef __cplusplus
extern "C" {
#endif
NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action);
// Arguments after MessageNumber are (PVOID data, SIZE_T length) pairs ended by a null
// pointer.
NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...);
// TraceEnableFlagsClass / TraceEnableLevelClass with the WNODE_HEADER of an enable request
// as Buffer give the flags and level the trace session asked for.
NTSTATUS WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass, PVOID TraceInformation,
                                  ULONG TraceInformationLength, PULONG RequiredLength, PVOID Buffer);
#ifdef __cplusplus
}
#endif
