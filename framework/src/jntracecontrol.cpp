#include "kwplat/initguid.h"
#include "jntraceguids.h"
#include "jntracecontrol.h"

namespace {

struct TraceProvider {
    const GUID* pGuid;
    volatile LONG lFlags;
    UCHAR ucLevel;
    TRACEHANDLE hLogger;
};

TraceProvider g_Providers[CJnTraceControl::kProviderCount] = {
    {&JnTraceProvider0, 0, 0, 0}, {&JnTraceProvider1, 0, 0, 0}, {&JnTraceProvider2, 0, 0, 0},
    {&JnTraceProvider3, 0, 0, 0}, {&JnTraceProvider4, 0, 0, 0}, {&JnTraceProvider5, 0, 0, 0},
    {&JnTraceProvider6, 0, 0, 0}, {&JnTraceProvider7, 0, 0, 0},
};

NTSTATUS TraceCallback(UCHAR action, PVOID dataPath, ULONG bufferSize, PVOID buffer, PVOID context, PULONG size);

// The block WMI knows the callback registration by: the routine comes first.
struct TraceRegistration {
    WMIENTRY Callback;
    LONG lRegistered;
};
TraceRegistration g_Registration = {TraceCallback, 0};

bool SameGuid(const GUID& a, const GUID& b) { return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID); }

TraceProvider* Find(const GUID& guid)
{
    for (auto& p : g_Providers)
        if (SameGuid(*p.pGuid, guid)) return &p;
    return nullptr;
}

NTSTATUS RegInfo(ULONG bufferSize, PVOID buffer, PULONG size)
{
    ULONG needed = (ULONG)FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + CJnTraceControl::kProviderCount * sizeof(WMIREGGUIDW);
    if (bufferSize < needed) {
        if (bufferSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        *static_cast<PULONG>(buffer) = needed;
        *size = sizeof(ULONG);
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(buffer, needed);
    auto* info = static_cast<PWMIREGINFOW>(buffer);
    info->BufferSize = needed;
    info->GuidCount = CJnTraceControl::kProviderCount;
    for (ULONG i = 0; i < CJnTraceControl::kProviderCount; i++) {
        info->WmiRegGuid[i].Guid = *g_Providers[i].pGuid;
        info->WmiRegGuid[i].Flags = WMIREG_FLAG_TRACED_GUID | WMIREG_FLAG_TRACE_CONTROL_GUID;
        info->WmiRegGuid[i].InstanceCount = 1;
    }
    *size = needed;
    return STATUS_SUCCESS;
}

NTSTATUS TraceCallback(UCHAR action, PVOID dataPath, ULONG bufferSize, PVOID buffer, PVOID context, PULONG size)
{
    *size = 0;
    switch (action) {
    case IRP_MN_REGINFO:
        return RegInfo(bufferSize, buffer, size);
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
        if (bufferSize < sizeof(WNODE_HEADER)) return STATUS_INVALID_PARAMETER;
        return CJnTraceControl::sm_Control(action, static_cast<PWNODE_HEADER>(buffer));
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

}  // namespace

const GUID& CJnTraceControl::sm_ProviderGuid(ULONG provider) { return *g_Providers[provider].pGuid; }

bool CJnTraceControl::sm_IsEnabled(ULONG provider, ULONG flag)
{
    if (provider >= kProviderCount) return false;
    const TraceProvider& p = g_Providers[provider];
    return p.hLogger != 0 && (p.lFlags & (LONG)flag) != 0;
}

void CJnTraceControl::sm_Send(ULONG provider, ULONG flag, USHORT messageNumber, const void* argument, SIZE_T length)
{
    if (!sm_IsEnabled(provider, flag)) return;
    TraceProvider& p = g_Providers[provider];
    WmiTraceMessage(p.hLogger, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_SYSTEMINFO | TRACE_MESSAGE_TIMESTAMP,
                    p.pGuid, messageNumber, argument, length, (PVOID)nullptr);
}

NTSTATUS CJnTraceControl::sm_Control(UCHAR minor, PWNODE_HEADER header)
{
    TraceProvider* p = Find(header->Guid);
    if (!p) return STATUS_WMI_GUID_NOT_FOUND;
    if (minor == IRP_MN_DISABLE_EVENTS) {
        InterlockedExchange(&p->lFlags, 0);
        p->hLogger = 0;
        return STATUS_SUCCESS;
    }
    ULONG flags = 0;
    UCHAR level = 0;
    if (!NT_SUCCESS(WmiQueryTraceInformation(TraceEnableFlagsClass, &flags, sizeof flags, nullptr, header))) flags = 0;
    if (!NT_SUCCESS(WmiQueryTraceInformation(TraceEnableLevelClass, &level, sizeof level, nullptr, header))) level = 0;
    p->ucLevel = level;
    p->hLogger = (TRACEHANDLE)header->HistoricalContext;
    InterlockedExchange(&p->lFlags, (LONG)flags);
    return STATUS_SUCCESS;
}

NTSTATUS CJnTraceControl::sm_ControlIrp(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = stack->MinorFunction;
    if ((minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS) &&
        stack->Parameters.WMI.BufferSize >= sizeof(WNODE_HEADER) && stack->Parameters.WMI.Buffer) {
        auto* header = static_cast<PWNODE_HEADER>(stack->Parameters.WMI.Buffer);
        if (Find(header->Guid)) return sm_Control(minor, header);
    }
    return irp->IoStatus.Status;
}

NTSTATUS CJnTraceControl::sm_Register()
{
    if (InterlockedCompareExchange(&g_Registration.lRegistered, 1, 0) != 0) return STATUS_SUCCESS;
    NTSTATUS status = IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&g_Registration),
                                               WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK);
    if (!NT_SUCCESS(status)) InterlockedExchange(&g_Registration.lRegistered, 0);
    return status;
}

void CJnTraceControl::sm_Deregister()
{
    if (InterlockedCompareExchange(&g_Registration.lRegistered, 0, 1) != 1) return;
    IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&g_Registration), WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK);
}

bool CJnTraceControl::sm_IsRegistered() { return g_Registration.lRegistered != 0; }

void CJnTraceControl::sm_Reset()
{
    for (auto& p : g_Providers) {
        InterlockedExchange(&p.lFlags, 0);
        p.hLogger = 0;
        p.ucLevel = 0;
    }
}
