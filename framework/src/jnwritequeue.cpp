#include "jnwritequeue.h"
#include "jndebugmanager.h"

namespace {

const ULONG kWaiting = CJnIrpQueue::kFirstLive;
const ULONG kInProgress = CJnIrpQueue::kFirstLive + 1;
const ULONG kFlush = CJnIrpQueue::kFirstLive + 2;
const ULONG kXoffCounter = CJnIrpQueue::kFirstLive + 3;

ULONG Tag(PIRP irp) { return (ULONG)(ULONG_PTR)irp; }
ULONG LengthOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length; }
ULONG Handed(PIRP irp) { return (ULONG)irp->IoStatus.Information; }
ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }
ULONG AddSaturated(ULONG a, ULONG b) { return a > 0xFFFFFFFF - b ? 0xFFFFFFFF : a + b; }

}  // namespace

// What an insertion is for, and how a refused one is to be completed.
struct CJnWriteQueue::InsertRequest {
    ULONG kind;  // kWaiting (a write), kFlush or kXoffCounter
    bool completeNow;
    NTSTATUS status;
    ULONG work;
};

CJnWriteQueue::CJnWriteQueue()
    : m_bAccepting(TRUE), m_RejectStatus(STATUS_CANCELLED), m_pWriteCallback(nullptr), m_pWriteCallbackContext(nullptr),
      m_pTransmitterEmpty(nullptr), m_pTransmitterEmptyContext(nullptr), m_ulQueuedBytes(0), m_ulCredit(0),
      m_ulDiscount(0), m_ulUnattributed(kAllOnes), m_ulInFlightGone(0), m_ulWriteTotalTimeoutMultiplier(0), m_ulWriteTotalTimeoutConstant(0),
      m_pTimedWrite(nullptr), m_pXoffIrp(nullptr), m_lXoffHeld(0), m_Xoff(), m_XoffNext(), m_bXoffNextSet(false), m_bXoffSent(false),
      m_bXoffSendPending(false)
{
    InitializeListHead(&m_Waiting);
    InitializeListHead(&m_InProgress);
    InitializeListHead(&m_Flushes);
    InitializeListHead(&m_XoffRequests);
    KeInitializeMutex(&m_WriteMutex, 0);
    m_FlushTimer.m_Initialize(sm_TimerDpc, this);
    m_WriteTimer.m_Initialize(sm_TimerDpc, this);
    m_XoffTimer.m_Initialize(sm_TimerDpc, this);
}

CJnWriteQueue::~CJnWriteQueue()
{
    m_Stop();
    m_CancelAllIrps();
    m_Lock.m_Acquire();
    m_FlushTimer.m_Cancel();
    m_WriteTimer.m_Cancel();
    m_XoffTimer.m_Cancel();
    m_Lock.m_Release();
    m_FlushTimer.m_Destroy();
    m_WriteTimer.m_Destroy();
    m_XoffTimer.m_Destroy();
}

bool CJnWriteQueue::m_Initialize(PDEVICE_OBJECT deviceObject) { return m_DeferredQueue.m_Init(deviceObject); }

void CJnWriteQueue::m_Stop() { m_DeferredQueue.m_Stop(); }

void CJnWriteQueue::m_SetWriteCallback(JnWriteCallback callback, PVOID context)
{
    m_Lock.m_Acquire();
    m_pWriteCallback = callback;
    m_pWriteCallbackContext = context;
    m_Lock.m_Release();
}

void CJnWriteQueue::m_SetTransmitterEmptyCallback(JnTransmitterEmptyCallback callback, PVOID context)
{
    m_Lock.m_Acquire();
    m_pTransmitterEmpty = callback;
    m_pTransmitterEmptyContext = context;
    m_Lock.m_Release();
}

// ---- requests in ----

NTSTATUS CJnWriteQueue::m_QueueIrp(PIRP irp)
{
    irp->IoStatus.Information = 0;
    ULONG length = LengthOf(irp);
    JnTrace(kTraceChannel, "CJnWriteQueue::m_QueueIrp - WriteIrp:0x%X L=%d", Tag(irp), length);
    NTSTATUS status = STATUS_SUCCESS;
    if (length && !irp->AssociatedIrp.SystemBuffer) status = STATUS_INVALID_PARAMETER;
    if (!length || !NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    return m_Hold(irp, kWaiting);
}

NTSTATUS CJnWriteQueue::m_HoldFlushIrp(PIRP irp) { return m_Hold(irp, kFlush); }

NTSTATUS CJnWriteQueue::m_QueueXoffCounterIrp(PIRP irp) { return m_Hold(irp, kXoffCounter); }

NTSTATUS CJnWriteQueue::m_Hold(PIRP irp, ULONG kind)
{
    InsertRequest request = {kind, false, STATUS_SUCCESS, 0};
    NTSTATUS status = m_Insert(irp, &request);
    m_Finish(request.work);
    if (NT_SUCCESS(status)) return STATUS_PENDING;
    // Refused: completed now, with the status the queue gave it.
    if (request.completeNow) status = request.status;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CJnWriteQueue::m_OnInsert(PIRP irp, PVOID context)
{
    InsertRequest* request = static_cast<InsertRequest*>(context);
    NTSTATUS status = STATUS_SUCCESS;
    switch (request->kind) {
    case kWaiting:
        // A new write ends a held Xoff-counter request, even one it cannot follow.
        m_XoffUpdateLocked(kXoffAnotherRequest);
        if (!m_bAccepting) {
            request->completeNow = true;
            request->status = m_RejectStatus;
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        sm_SetInFlight(irp, 0);
        sm_Link(&m_Waiting, irp, kWaiting);
        m_ulQueuedBytes = AddSaturated(m_ulQueuedBytes, LengthOf(irp));
        m_TimeOldest();
        break;
    case kFlush:
        if (m_WritesEmpty()) {
            request->completeNow = true;
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        sm_Link(&m_Flushes, irp, kFlush);
        break;
    default: {
        // The data stored by the port is this request's; without any the counter is 0.
        m_XoffUpdateLocked(kXoffAnotherRequest);
        XoffCounter data = {};
        if (m_bXoffNextSet) data = m_XoffNext;
        m_bXoffNextSet = false;
        if (data.counter <= 0) {
            request->completeNow = true;
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        m_Xoff = data;
        m_bXoffSent = false;
        m_SetXoffIrp(irp);
        sm_Link(&m_XoffRequests, irp, kXoffCounter);
        break;
    }
    }
    request->work = m_PendingWork();
    return status;
}

void CJnWriteQueue::m_OnCancel(PIRP irp, ULONG state)
{
    switch (state) {
    case kXoffCounter:
        m_SetXoffIrp(nullptr);
        m_XoffTimer.m_Cancel();
        m_bXoffSendPending = false;
        break;
    case kFlush:
        break;  // a poll still armed finds no flush and stops
    default:
        m_Leave(irp, state);
        m_TimeOldest();
        break;
    }
}

void CJnWriteQueue::m_AfterCancel()
{
    m_Lock.m_Acquire();
    ULONG work = m_PendingWork();
    m_Lock.m_Release();
    m_Finish(work);
}

// ---- accounting, under the lock ----

ULONG CJnWriteQueue::m_PendingWork()
{
    m_XoffUpdateLocked(0);
    ULONG work = 0;
    if (!IsListEmpty(&m_Decided)) work |= kWorkComplete;
    if (m_ulQueuedBytes && m_ulCredit && m_pWriteCallback) work |= kWorkSend;
    if (!IsListEmpty(&m_Flushes) && m_WritesEmpty() && !m_FlushTimer.m_IsArmed()) work |= kWorkFlushCheck;
    if (m_bXoffSendPending) work |= kWorkSendXoff;
    return work;
}

ULONG CJnWriteQueue::m_RemainingBytes(PIRP irp)
{
    if (sm_State(irp) == kInProgress) return (ULONG)sm_Value(irp);
    // Bytes reported for the partly handed-over write are written already.
    ULONG handed = Handed(irp);
    ULONG share = handed && m_ulUnattributed != kAllOnes ? Min(m_ulUnattributed, handed) : 0;
    return LengthOf(irp) - share;
}

void CJnWriteQueue::m_TimeOldest()
{
    if (m_pTimedWrite || (!m_ulWriteTotalTimeoutMultiplier && !m_ulWriteTotalTimeoutConstant)) return;
    PIRP oldest = sm_First(&m_InProgress);
    if (!oldest) oldest = sm_First(&m_Waiting);
    if (!oldest) return;
    m_pTimedWrite = oldest;
    ULONGLONG milliseconds =
        (ULONGLONG)m_RemainingBytes(oldest) * m_ulWriteTotalTimeoutMultiplier + m_ulWriteTotalTimeoutConstant;
    m_WriteTimer.m_Arm(oldest, CJnQueueTimer::sm_FromMilliseconds(milliseconds));
}

void CJnWriteQueue::m_Leave(PIRP irp, ULONG state)
{
    // Its bytes handed over but not yet reported will still be reported: they must not be
    // charged to later writes. Those of a chunk still being handed over may yet be
    // refused; the sender takes them back out then.
    m_ulInFlightGone = AddSaturated(m_ulInFlightGone, sm_InFlight(irp));
    sm_SetInFlight(irp, 0);
    if (state == kInProgress) {
        m_ulDiscount = AddSaturated(m_ulDiscount, (ULONG)sm_Value(irp));
    } else if (state == kWaiting) {
        ULONG handed = Handed(irp);
        if (handed && m_ulUnattributed != kAllOnes) {
            ULONG share = Min(m_ulUnattributed, handed);
            m_ulUnattributed -= share;
            handed -= share;
        }
        m_ulDiscount = AddSaturated(m_ulDiscount, handed);
        m_ulQueuedBytes -= Min(m_ulQueuedBytes, LengthOf(irp) - Handed(irp));
    }
    if (irp == m_pTimedWrite) {
        m_pTimedWrite = nullptr;
        m_WriteTimer.m_Cancel();
    }
}

ULONG CJnWriteQueue::m_Fill(PUCHAR buffer, ULONG room)
{
    ULONG copied = 0;
    while (copied < room) {
        PIRP write = sm_First(&m_Waiting);
        if (!write) break;
        ULONG length = LengthOf(write);
        ULONG handed = Handed(write);
        ULONG take = Min(length - handed, room - copied);
        RtlCopyMemory(buffer + copied, static_cast<PUCHAR>(write->AssociatedIrp.SystemBuffer) + handed, take);
        write->IoStatus.Information = handed + take;
        sm_SetInFlight(write, take);
        copied += take;
        m_ulQueuedBytes -= Min(m_ulQueuedBytes, take);
        if (handed + take < length) break;  // stays first, partly handed over
        // All handed over. What was reported for it meanwhile is its own now.
        ULONG share = 0;
        if (m_ulUnattributed != kAllOnes) {
            share = Min(m_ulUnattributed, length);
            m_ulUnattributed -= share;
        }
        RemoveEntryList(&write->Tail.Overlay.ListEntry);
        sm_Link(&m_InProgress, write, kInProgress);
        sm_SetValue(write, length - share);
    }
    m_ulCredit -= Min(m_ulCredit, copied);
    m_TimeOldest();
    return copied;
}

void CJnWriteQueue::m_ChunkHandedOver(BOOLEAN accepted, ULONG copied)
{
    // The chunk's writes are the first waiting one (partly handed over) and the last ones
    // in progress; those that left meanwhile are in m_ulInFlightGone.
    PIRP partial = sm_First(&m_Waiting);
    if (accepted) {
        m_ulInFlightGone = 0;
        if (partial) sm_SetInFlight(partial, 0);
        for (PLIST_ENTRY e = m_InProgress.Flink; e != &m_InProgress; e = e->Flink) sm_SetInFlight(sm_Irp(e), 0);
        return;
    }
    JnTrace(kTraceChannel, "CJnWriteQueue::m_Send - chunk of %d refused", copied);
    // Nothing of the chunk will be reported written: not its credit, not its discount.
    m_ulCredit = AddSaturated(m_ulCredit, copied);
    m_ulDiscount -= Min(m_ulDiscount, m_ulInFlightGone);
    m_ulInFlightGone = 0;
    if (partial && sm_InFlight(partial)) {
        ULONG refused = sm_InFlight(partial);
        ULONG taken = Handed(partial) - refused;
        // Its refused bytes count as still queued, so that leaving takes them off once.
        partial->IoStatus.Information = taken;
        sm_SetInFlight(partial, 0);
        m_ulQueuedBytes = AddSaturated(m_ulQueuedBytes, refused);
        m_Leave(partial, kWaiting);
        m_Decide(partial, STATUS_UNSUCCESSFUL, taken);
    }
    PLIST_ENTRY e = m_InProgress.Flink;
    while (e != &m_InProgress) {
        PIRP write = sm_Irp(e);
        e = e->Flink;
        ULONG refused = sm_InFlight(write);
        if (!refused) continue;
        // Bytes of it accepted earlier are still to be reported: the discount takes them.
        ULONG unreported = (ULONG)sm_Value(write);
        sm_SetValue(write, unreported - Min(unreported, refused));
        sm_SetInFlight(write, 0);
        m_Leave(write, kInProgress);
        m_Decide(write, STATUS_UNSUCCESSFUL, LengthOf(write) - refused);
    }
    m_TimeOldest();
}

void CJnWriteQueue::m_ChargeWritten()
{
    ULONG charge = Min(m_ulDiscount, m_ulUnattributed);
    m_ulDiscount -= charge;
    m_ulUnattributed -= charge;
    while (m_ulUnattributed) {
        PIRP write = sm_First(&m_InProgress);
        if (!write) break;
        ULONG unconfirmed = (ULONG)sm_Value(write);
        if (unconfirmed > m_ulUnattributed) {
            sm_SetValue(write, unconfirmed - m_ulUnattributed);
            m_ulUnattributed = 0;
            break;
        }
        m_ulUnattributed -= unconfirmed;
        sm_SetValue(write, 0);
        if (write == m_pTimedWrite) {
            m_pTimedWrite = nullptr;
            m_WriteTimer.m_Cancel();
        }
        m_Decide(write, STATUS_SUCCESS, LengthOf(write));
    }
    // What is left belongs to the partly handed-over write, and can be no more than it
    // handed over; anything beyond is nobody's.
    if (m_ulUnattributed) {
        PIRP partial = sm_First(&m_Waiting);
        ULONG handed = partial ? Handed(partial) : 0;
        if (m_ulUnattributed > handed) m_ulUnattributed = handed;
    }
    m_TimeOldest();
}

void CJnWriteQueue::m_XoffUpdateLocked(ULONG flags)
{
    PIRP irp = m_pXoffIrp;
    if (!irp) return;
    NTSTATUS status = STATUS_PENDING;
    if (flags & kXoffCancel) status = STATUS_CANCELLED;
    else if (flags & kXoffTimedOut) status = STATUS_SERIAL_COUNTER_TIMEOUT;
    else if (flags & kXoffAnotherRequest) status = STATUS_SERIAL_MORE_WRITES;
    else if (m_Xoff.counter <= 0) status = STATUS_SUCCESS;
    if (status != STATUS_PENDING) {
        m_SetXoffIrp(nullptr);
        m_XoffTimer.m_Cancel();
        m_bXoffSendPending = false;
        m_Xoff.counter = 0;
        m_Decide(irp, status, 0);
        return;
    }
    // The Xoff character goes out once per request, when the writes before it are done;
    // its timeout runs from then.
    if (m_bXoffSent || !m_WritesEmpty()) return;
    m_bXoffSent = true;
    if (m_Xoff.timeout) m_XoffTimer.m_Arm(irp, CJnQueueTimer::sm_FromMilliseconds(m_Xoff.timeout));
    if (m_Xoff.routine) m_bXoffSendPending = true;
}

void CJnWriteQueue::m_SetXoffIrp(PIRP irp)
{
    m_pXoffIrp = irp;
    InterlockedExchange(&m_lXoffHeld, irp ? 1 : 0);
}

void CJnWriteQueue::m_DecideAll(PLIST_ENTRY list, NTSTATUS status)
{
    while (PIRP irp = sm_First(list)) m_Decide(irp, status, 0);
}

// ---- follow-up work ----

void CJnWriteQueue::m_Finish(ULONG work)
{
    if (work & kWorkComplete) m_CompleteDecided();
    if (work & kWorkSend) m_DeferredQueue.m_Queue(sm_Send, this, nullptr);
    if ((work & kWorkFlushCheck) && !m_DeferredQueue.m_Queue(sm_FlushCheck, this, nullptr)) {
        // No memory for the call: poll again later rather than hold the flush for ever.
        m_Lock.m_Acquire();
        if (!IsListEmpty(&m_Flushes) && !m_FlushTimer.m_IsArmed()) m_FlushTimer.m_Arm(this, kFlushPollInterval);
        m_Lock.m_Release();
    }
    if (work & kWorkSendXoff) m_DeferredQueue.m_Queue(sm_SendXoff, this, nullptr);
}

void CJnWriteQueue::sm_Send(PVOID queue, PVOID) { static_cast<CJnWriteQueue*>(queue)->m_Send(); }
void CJnWriteQueue::sm_FlushCheck(PVOID queue, PVOID) { static_cast<CJnWriteQueue*>(queue)->m_FlushCheck(); }
void CJnWriteQueue::sm_SendXoff(PVOID queue, PVOID) { static_cast<CJnWriteQueue*>(queue)->m_SendXoff(); }

BOOLEAN CJnWriteQueue::m_Send()
{
    KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, nullptr);
    m_Lock.m_Acquire();
    ULONG wanted = Min(m_ulQueuedBytes, m_ulCredit);
    JnWriteCallback callback = m_pWriteCallback;
    PVOID context = m_pWriteCallbackContext;
    m_Lock.m_Release();
    BOOLEAN result = FALSE;
    CJnDataBuffer* buffer = wanted && callback ? CJnDataBuffer::sm_Create(wanted) : nullptr;
    if (buffer) {
        // Nothing is taken from a write until the buffer exists: without memory the writes
        // simply wait for the next trigger.
        m_Lock.m_Acquire();
        ULONG copied = m_Fill(buffer->m_GetData(), Min(wanted, Min(m_ulQueuedBytes, m_ulCredit)));
        ULONG work = m_PendingWork() & ~kWorkSend;
        m_Lock.m_Release();
        if (!copied) {
            buffer->m_Delete();
        } else {
            buffer->m_Truncate(copied);
            JnTrace(kTraceChannel, "CJnWriteQueue::m_Send L=%d", copied);
            result = callback(context, buffer);
            m_Lock.m_Acquire();
            m_ChunkHandedOver(result, copied);
            // A refusal gives credit back: the next writes may go at once.
            work |= m_PendingWork() & (result ? ~kWorkSend : ~0u);
            m_Lock.m_Release();
        }
        m_Finish(work);
    }
    KeReleaseMutex(&m_WriteMutex, FALSE);
    return result;
}

void CJnWriteQueue::m_FlushCheck()
{
    m_Lock.m_Acquire();
    bool wanted = !IsListEmpty(&m_Flushes) && m_WritesEmpty();
    JnTransmitterEmptyCallback callback = m_pTransmitterEmpty;
    PVOID context = m_pTransmitterEmptyContext;
    m_Lock.m_Release();
    if (!wanted) return;
    BOOLEAN empty = callback ? callback(context) : TRUE;
    m_Lock.m_Acquire();
    if (!IsListEmpty(&m_Flushes) && m_WritesEmpty()) {
        if (!empty) {
            if (!m_FlushTimer.m_IsArmed()) m_FlushTimer.m_Arm(this, kFlushPollInterval);
        } else {
            m_FlushTimer.m_Cancel();
            m_DecideAll(&m_Flushes, STATUS_SUCCESS);
        }
    }
    ULONG work = m_PendingWork();
    m_Lock.m_Release();
    m_Finish(work);
}

void CJnWriteQueue::m_SendXoff()
{
    m_Lock.m_Acquire();
    bool send = m_bXoffSendPending && m_pXoffIrp;
    m_bXoffSendPending = false;
    XoffCounter data = m_Xoff;
    m_Lock.m_Release();
    // Outside the lock: the routine writes to the bus.
    if (send) data.routine(data.context, data.xoffChar);
}

void CJnWriteQueue::sm_TimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    CJnWriteQueue* queue = static_cast<CJnWriteQueue*>(context);
    queue->m_Lock.m_AcquireAtDpcLevel();
    bool flushCheck = false;
    if (queue->m_WriteTimer.m_Owns(dpc)) {
        PIRP write = static_cast<PIRP>(queue->m_WriteTimer.m_Expired());
        if (write && write == queue->m_pTimedWrite) {
            ULONG state = sm_State(write);
            // A write in progress has handed over all its bytes.
            ULONG information = state == kInProgress ? LengthOf(write) : Handed(write);
            queue->m_Leave(write, state);
            queue->m_Decide(write, STATUS_TIMEOUT, information);
            queue->m_TimeOldest();
            JnTrace(kTraceChannel, "CJnWriteQueue::sm_TimerDpc - WriteIrp:0x%X timed out after %d", Tag(write),
                    (ULONG)information);
        }
    } else if (queue->m_XoffTimer.m_Owns(dpc)) {
        PIRP request = static_cast<PIRP>(queue->m_XoffTimer.m_Expired());
        if (request && request == queue->m_pXoffIrp) queue->m_XoffUpdateLocked(kXoffTimedOut);
    } else if (queue->m_FlushTimer.m_Expired()) {
        flushCheck = !IsListEmpty(&queue->m_Flushes);
    }
    ULONG work = queue->m_PendingWork();
    if (flushCheck) work |= kWorkFlushCheck;
    queue->m_Lock.m_Release();
    queue->m_Finish(work);
}

// ---- operations ----

void CJnWriteQueue::m_DataWritten(ULONG bytes)
{
    m_Lock.m_Acquire();
    if (m_ulUnattributed == kAllOnes) {
        m_ulUnattributed = 0;  // the first report after an open only grants credit
    } else {
        m_ulUnattributed = AddSaturated(m_ulUnattributed, bytes);
        m_ChargeWritten();
    }
    m_ulCredit = AddSaturated(m_ulCredit, bytes);
    ULONG work = m_PendingWork();
    m_Lock.m_Release();
    KW_SYNC_POINT(kWrittenSyncPoint);
    m_Finish(work);
}

void CJnWriteQueue::m_CancelAllIrps()
{
    m_Lock.m_Acquire();
    m_pTimedWrite = nullptr;
    m_WriteTimer.m_Cancel();
    while (PIRP write = sm_First(&m_InProgress)) {
        m_Leave(write, kInProgress);
        m_Decide(write, STATUS_CANCELLED, 0);
    }
    while (PIRP write = sm_First(&m_Waiting)) {
        m_Leave(write, kWaiting);
        m_Decide(write, STATUS_CANCELLED, 0);
    }
    m_ulQueuedBytes = 0;
    m_FlushTimer.m_Cancel();
    m_DecideAll(&m_Flushes, STATUS_CANCELLED);
    m_XoffUpdateLocked(kXoffCancel);
    ULONG work = m_PendingWork();
    m_Lock.m_Release();
    m_Finish(work);
}

void CJnWriteQueue::m_SetXoffCounter(JnSendXoffCharacter routine, PVOID context, ULONG timeout, LONG counter,
                                     UCHAR xoffChar)
{
    m_Lock.m_Acquire();
    m_XoffNext.routine = routine;
    m_XoffNext.context = context;
    m_XoffNext.timeout = timeout;
    m_XoffNext.counter = counter;
    m_XoffNext.xoffChar = xoffChar;
    m_bXoffNextSet = true;
    m_Lock.m_Release();
}

void CJnWriteQueue::m_XoffCounterUpdate(ULONG flags)
{
    m_Lock.m_Acquire();
    m_XoffUpdateLocked(flags);
    ULONG work = m_PendingWork();
    m_Lock.m_Release();
    m_Finish(work);
}

void CJnWriteQueue::m_XoffCounterReceived(ULONG bytes)
{
    // Every received buffer comes here: without a held request the lock is not needed.
    if (!InterlockedCompareExchange(&m_lXoffHeld, 0, 0)) return;
    m_Lock.m_Acquire();
    if (!m_pXoffIrp) {
        m_Lock.m_Release();
        return;
    }
    m_Xoff.counter = (ULONG)m_Xoff.counter <= bytes ? 0 : m_Xoff.counter - (LONG)bytes;
    ULONG work = m_PendingWork();
    m_Lock.m_Release();
    m_Finish(work);
}

void CJnWriteQueue::m_SetTimeouts(ULONG writeTotalTimeoutMultiplier, ULONG writeTotalTimeoutConstant)
{
    KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, nullptr);
    m_Lock.m_Acquire();
    m_ulWriteTotalTimeoutMultiplier = writeTotalTimeoutMultiplier;
    m_ulWriteTotalTimeoutConstant = writeTotalTimeoutConstant;
    m_Lock.m_Release();
    KeReleaseMutex(&m_WriteMutex, FALSE);
}

void CJnWriteQueue::m_SetState(BOOLEAN accepting, NTSTATUS rejectStatus)
{
    m_Lock.m_Acquire();
    m_bAccepting = accepting;
    m_RejectStatus = rejectStatus;
    m_Lock.m_Release();
}

void CJnWriteQueue::m_ResetAccounting()
{
    m_Lock.m_Acquire();
    m_ulUnattributed = kAllOnes;
    m_ulCredit = 0;
    m_ulDiscount = 0;
    m_Lock.m_Release();
}

ULONG CJnWriteQueue::m_GetQueuedBytes() { return m_ReadLocked(m_ulQueuedBytes); }

ULONG CJnWriteQueue::m_GetCredit() { return m_ReadLocked(m_ulCredit); }

ULONG CJnWriteQueue::m_GetDiscount() { return m_ReadLocked(m_ulDiscount); }

bool CJnWriteQueue::m_IsEmpty()
{
    m_Lock.m_Acquire();
    bool empty = m_WritesEmpty();
    m_Lock.m_Release();
    return empty;
}
