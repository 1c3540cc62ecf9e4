#include "jncontrolqueue.h"
#include "jndebugmanager.h"

namespace {
const ULONG kWaiting = CJnIrpQueue::kFirstLive;
ULONG Tag(PIRP irp) { return (ULONG)(ULONG_PTR)irp; }
}  // namespace

CJnControlQueue::CJnControlQueue() : m_ulWaitMask(0), m_ulEventsReceived(0), m_ulPendingCount(0)
{
    InitializeListHead(&m_Pending);
}

CJnControlQueue::~CJnControlQueue() { m_CancelWait(); }

void CJnControlQueue::sm_SetEventWord(PIRP irp, ULONG eventWord)
{
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &eventWord, sizeof eventWord);
}

void CJnControlQueue::sm_CompleteNow(PIRP irp, NTSTATUS status, ULONG eventWord)
{
    sm_SetEventWord(irp, eventWord);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS CJnControlQueue::m_QueueIrp(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!irp->AssociatedIrp.SystemBuffer || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        // No room for the event word.
        irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!m_GetWaitMask()) {
        sm_CompleteNow(irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    JnTrace(kTraceChannel, "CJnControlQueue::m_QueueIrp (m_WaitOnMask) - Queued MaskIrp:0x%X", Tag(irp));
    if (m_ResolveCurrentEventMask(irp)) return STATUS_SUCCESS;
    NTSTATUS status = m_Insert(irp, nullptr);
    if (!NT_SUCCESS(status)) {
        sm_CompleteNow(irp, status, 0);
        return status;
    }
    // An event recorded between the first look and the insertion must not wait for the next.
    m_ResolveCurrentEventMask(nullptr);
    return STATUS_PENDING;
}

NTSTATUS CJnControlQueue::m_OnInsert(PIRP irp, PVOID)
{
    if (m_ulPendingCount) return STATUS_INVALID_PARAMETER;
    sm_Link(&m_Pending, irp, kWaiting);
    m_ulPendingCount++;
    return STATUS_SUCCESS;
}

void CJnControlQueue::m_OnCancel(PIRP, ULONG) { m_ulPendingCount--; }

void CJnControlQueue::m_DecideHeld(PIRP irp, NTSTATUS status, ULONG eventWord, ULONG_PTR information)
{
    if (information) sm_SetEventWord(irp, eventWord);
    m_ulPendingCount--;
    m_Decide(irp, status, information);
}

BOOLEAN CJnControlQueue::m_ResolveCurrentEventMask(PIRP irp)
{
    m_Lock.m_Acquire();
    ULONG returned = m_ulEventsReceived & m_ulWaitMask & kResolvableEvents;
    PIRP target = irp ? irp : sm_First(&m_Pending);
    if (!returned || !target) {
        m_Lock.m_Release();
        return FALSE;
    }
    m_ulEventsReceived &= ~returned;
    ULONG received = m_ulEventsReceived;
    ULONG mask = m_ulWaitMask;
    if (!irp) m_DecideHeld(target, STATUS_SUCCESS, returned, sizeof(ULONG));
    m_Lock.m_Release();
    JnTrace(kTraceChannel, "CJnControlQueue::m_ResolveCurrentEventMask - ReturnedEvent: 0x%X, EventsReceived:0x%X, CurrentMask:0x%X",
            returned, received, mask);
    JnTrace(kTraceChannel, "CJnControlQueue::m_ResolveCurrentEventMask - Completed MaskIrp:0x%X (Reason:Event resolved)",
            Tag(target));
    if (irp) sm_CompleteNow(irp, STATUS_SUCCESS, returned);
    else m_CompleteDecided();
    return TRUE;
}

void CJnControlQueue::m_SetCommEventsReceived(ULONG events)
{
    m_Lock.m_Acquire();
    m_ulEventsReceived |= events;
    m_Lock.m_Release();
}

void CJnControlQueue::m_ClearCommEvents(ULONG events)
{
    m_Lock.m_Acquire();
    m_ulEventsReceived &= ~events;
    m_Lock.m_Release();
}

ULONG CJnControlQueue::m_GetCommEventsReceived() { return m_ReadLocked(m_ulEventsReceived); }

ULONG CJnControlQueue::m_GetWaitMask() { return m_ReadLocked(m_ulWaitMask); }

BOOLEAN CJnControlQueue::m_IsInMask(ULONG events)
{
    return (m_GetWaitMask() & events) == events ? TRUE : FALSE;
}

void CJnControlQueue::m_SetWaitMask(ULONG mask)
{
    m_Lock.m_Acquire();
    m_ulWaitMask = mask;
    m_ulEventsReceived = 0;
    PIRP held = sm_First(&m_Pending);
    if (held) m_DecideHeld(held, STATUS_SUCCESS, 0, sizeof(ULONG));
    m_Lock.m_Release();
    if (!held) return;
    JnTrace(kTraceChannel, "CJnControlQueue::m_SetWaitMask - Completed MaskIrp:0x%X (Reason:New Mask)", Tag(held));
    m_CompleteDecided();
}

void CJnControlQueue::m_CancelWait()
{
    m_Lock.m_Acquire();
    PIRP held = sm_First(&m_Pending);
    if (held) m_DecideHeld(held, STATUS_CANCELLED, 0, 0);
    m_Lock.m_Release();
    if (!held) return;
    JnTrace(kTraceChannel, "CJnControlQueue::m_SetWaitMask - Cancelled MaskIrp:0x%X", Tag(held));
    m_CompleteDecided();
}
