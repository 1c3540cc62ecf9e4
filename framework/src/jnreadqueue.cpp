#include "jnreadqueue.h"
#include "jndebugmanager.h"

namespace {

const ULONG kWaiting = CJnIrpQueue::kFirstLive;      // behind the head
const ULONG kHead = CJnIrpQueue::kFirstLive + 1;     // being served
const char kSourcePath[] = "driversource\\kwgendrv\\driver\\jnreadqueuecsq";

ULONG LengthOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length; }
ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

}  // namespace

// How a refused insertion is to be completed, and the change of the amount it made.
struct CJnReadQueue::InsertRequest {
    bool completeNow;
    NTSTATUS status;
    Notification notification;
};

CJnReadQueue::CJnReadQueue()
    : m_bAccepting(FALSE), m_RejectStatus(STATUS_CANCELLED), m_ulPendingCount(0), m_pDataAmountChanged(nullptr),
      m_pDataAmountChangedContext(nullptr), m_Current(), m_Next(), m_pDataHead(nullptr), m_pDataTail(nullptr),
      m_ulDataNodes(0), m_ulDataInQueue(0), m_ulCurrentLength(0), m_pDeferredQueue(nullptr), m_pSpareNode(nullptr)
{
    m_PathStart.QuadPart = 0;
    InitializeListHead(&m_Pending);
    m_IntervalTimer.m_Initialize(sm_TimerDpc, this);
    m_TotalTimer.m_Initialize(sm_TimerDpc, this);
    m_LastQueueCall.QuadPart = 0;
}

CJnReadQueue::~CJnReadQueue()
{
    m_Lock.m_Acquire();
    m_pDataAmountChanged = nullptr;
    m_Lock.m_Release();
    m_CancelAllIrps();
    m_FlushData();
    m_Lock.m_Acquire();
    m_IntervalTimer.m_Cancel();
    m_TotalTimer.m_Cancel();
    m_Lock.m_Release();
    m_IntervalTimer.m_Destroy();
    m_TotalTimer.m_Destroy();
    delete m_pSpareNode;
}

void CJnReadQueue::m_Initialize(CJnDeferredQueue* deferredQueue) { m_pDeferredQueue = deferredQueue; }

// ---- serving the head, under the lock ----

CJnReadQueue::TimeoutClass CJnReadQueue::m_Class() const
{
    const Timeouts& t = m_Current;
    if (t.interval == MAXULONG && !t.multiplier && !t.constant) return kImmediate;
    if (t.interval == MAXULONG && t.multiplier == MAXULONG && t.constant && t.constant != MAXULONG) return kFirstData;
    return kGeneral;
}

ULONG CJnReadQueue::m_CopyInto(PIRP irp)
{
    ULONG wanted = LengthOf(irp);
    PUCHAR target = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    bool tracing = sm_Tracing(kTraceChannel);
    ULONG copied = 0;
    while (m_pDataHead && m_ulCurrentLength < wanted) {
        DataNode* node = m_pDataHead;
        CJnDataBuffer* data = node->payload;
        ULONG take = Min(wanted - m_ulCurrentLength, data->m_GetLength());
        if (tracing) {
            JnTrace(kTraceChannel, "DQL1 DL=%d CIRL=%d", data->m_GetLength(), wanted);
            JnTrace(kTraceChannel, "DQL2 ulLengthToCopy=%d m_ulCurrentLength=%d", take, m_ulCurrentLength);
        }
        RtlCopyMemory(target + m_ulCurrentLength, data->m_GetData(), take);
        m_ulCurrentLength += take;
        m_ulDataInQueue -= take;
        copied += take;
        irp->IoStatus.Information = m_ulCurrentLength;
        bool usedUp = take == data->m_GetLength();
        if (tracing)
            JnTrace(kTraceChannel, "DQL3 m_ulCurrentLength=%d ulCIRL=%d ulDataLength=%d bRet=%d", m_ulCurrentLength, wanted,
                    data->m_GetLength(), m_ulCurrentLength == wanted);
        if (!usedUp) {
            data->m_Consume(take);
            break;
        }
        m_pDataHead = node->next;
        if (m_pDataHead) m_pDataHead->previous = nullptr;
        else m_pDataTail = nullptr;
        m_ulDataNodes--;
        data->m_Delete();
        // One node is kept for the next buffer: data that streams into waiting reads then
        // needs no allocation for its list.
        if (m_pSpareNode) delete node;
        else m_pSpareNode = node;
    }
    return copied;
}

bool CJnReadQueue::m_FeedHead(PIRP head, bool fresh)
{
    if (fresh) {
        m_Current = m_Next;
        m_ulCurrentLength = 0;
    }
    ULONG copied = m_CopyInto(head);
    TimeoutClass c = m_Class();
    if (m_ulCurrentLength == LengthOf(head) || c == kImmediate || (c == kFirstData && m_ulCurrentLength)) return true;
    if (fresh) m_StartTotalTimer(head);
    // The interval runs from the last byte, and only once the read has one.
    if (copied) m_StartIntervalTimer(head);
    return false;
}

void CJnReadQueue::m_FinishHead(PIRP head, NTSTATUS status)
{
    m_IntervalTimer.m_Cancel();
    m_TotalTimer.m_Cancel();
    m_ulPendingCount--;
    m_Decide(head, status, m_ulCurrentLength);
    m_ulCurrentLength = 0;
}

void CJnReadQueue::m_ServeHeads()
{
    for (;;) {
        PIRP head = sm_First(&m_Pending);
        if (!head) return;
        bool fresh = sm_State(head) != kHead;
        if (fresh) sm_SetState(head, kHead);
        if (!m_FeedHead(head, fresh)) return;
        if (sm_Tracing(kTraceChannel))
            JnTrace(kTraceChannel, "CI5 D=%dys L=%d DIQ=%d", sm_MicrosecondsSince(m_PathStart), m_ulCurrentLength,
                    m_ulDataInQueue);
        m_FinishHead(head, STATUS_SUCCESS);
    }
}

void CJnReadQueue::m_StartTotalTimer(PIRP head)
{
    const Timeouts& t = m_Current;
    ULONGLONG milliseconds;
    switch (m_Class()) {
    case kImmediate:
        return;
    case kFirstData:
        milliseconds = t.constant;
        break;
    default:
        if (!t.multiplier && !t.constant) return;
        if (t.interval == MAXULONG && t.multiplier == MAXULONG) milliseconds = t.constant;
        else milliseconds = (ULONGLONG)LengthOf(head) * t.multiplier + t.constant;
        break;
    }
    m_TotalTimer.m_Arm(head, CJnQueueTimer::sm_FromMilliseconds(milliseconds));
}

void CJnReadQueue::m_StartIntervalTimer(PIRP head)
{
    const Timeouts& t = m_Current;
    if (!t.interval || m_Class() != kGeneral) return;
    if (t.interval == MAXULONG && t.multiplier == MAXULONG && !t.constant) return;
    m_IntervalTimer.m_Arm(head, CJnQueueTimer::sm_FromMilliseconds(t.interval));
}

CJnReadQueue::Notification CJnReadQueue::m_Notification(ULONG oldAmount) const
{
    Notification n = {m_pDataAmountChanged, m_pDataAmountChangedContext, m_ulDataInQueue, oldAmount};
    return n;
}

// ---- requests and data ----

NTSTATUS CJnReadQueue::m_QueueIrp(PIRP irp)
{
    LARGE_INTEGER start = {};
    bool tracing = sm_Tracing(kTraceChannel);
    if (tracing) {
        start = KeQueryPerformanceCounter(nullptr);
        ULONG sincePrevious = m_LastQueueCall.QuadPart ? sm_MicrosecondsSince(m_LastQueueCall) : 0;
        m_LastQueueCall = start;
        JnTrace(kTraceChannel, "CJnReadQueue::m_QueueIrp Interval D=%dys L=%d DIQ=%d", sincePrevious, LengthOf(irp),
                m_GetDataAmount());
    }
    irp->IoStatus.Information = 0;
    if (LengthOf(irp) && !irp->AssociatedIrp.SystemBuffer) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    InsertRequest request = {false, STATUS_SUCCESS, {}};
    NTSTATUS status = m_Insert(irp, &request);
    const Notification& n = request.notification;
    if (NT_SUCCESS(status)) {
        m_Notify(n);
        return STATUS_PENDING;
    }
    if (request.completeNow) status = request.status;
    if (tracing && status == STATUS_SUCCESS) {
        ULONG d = sm_MicrosecondsSince(start);
        JnTrace(kTraceChannel, "CI1 D=%dys", d);
        JnTrace(kTraceChannel, "CI1 D=%dys L=%d DIQ=%d", d, (ULONG)irp->IoStatus.Information, n.newAmount);
    }
    m_Notify(n);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CJnReadQueue::m_OnInsert(PIRP irp, PVOID context)
{
    InsertRequest* request = static_cast<InsertRequest*>(context);
    ULONG oldAmount = m_ulDataInQueue;
    NTSTATUS status = m_InsertRead(irp, request);
    request->notification = m_Notification(oldAmount);
    return status;
}

NTSTATUS CJnReadQueue::m_InsertRead(PIRP irp, InsertRequest* request)
{
    if (!m_bAccepting) {
        request->completeNow = true;
        request->status = m_RejectStatus;
        return STATUS_UNSUCCESSFUL;
    }
    if (!IsListEmpty(&m_Pending)) {
        sm_Link(&m_Pending, irp, kWaiting);
        m_ulPendingCount++;
        return STATUS_SUCCESS;
    }
    // It becomes the head at once: served now, and completed without being queued when
    // that satisfies it.
    if (m_FeedHead(irp, true)) {
        irp->IoStatus.Information = m_ulCurrentLength;
        m_ulCurrentLength = 0;
        request->completeNow = true;
        request->status = STATUS_SUCCESS;
        return STATUS_UNSUCCESSFUL;
    }
    sm_Link(&m_Pending, irp, kHead);
    m_ulPendingCount++;
    return STATUS_SUCCESS;
}

void CJnReadQueue::m_DataForPendingIrpArrived(CJnDataBuffer* buffer)
{
    if (buffer && !buffer->m_GetLength()) {
        JnAssertPrint(kSourcePath, 648);
        buffer->m_Delete();
        return;
    }
    LARGE_INTEGER start = {};
    bool tracing = sm_Tracing(kTraceChannel);
    if (tracing) start = KeQueryPerformanceCounter(nullptr);
    m_Lock.m_Acquire();
    DataNode* node = nullptr;
    if (buffer) {
        // The node a used-up buffer left behind, else a new one.
        node = m_pSpareNode ? m_pSpareNode : new DataNode();
        m_pSpareNode = nullptr;
        if (!node) {
            // No node: the bytes are lost, the queue stays as it was.
            m_Lock.m_Release();
            buffer->m_Delete();
            return;
        }
        node->payload = buffer;
        node->next = nullptr;
        node->reserved = nullptr;
    }
    m_PathStart = start;
    ULONG oldAmount = m_ulDataInQueue;
    if (node) {
        ULONG length = buffer->m_GetLength();
        if (tracing) {
            JnTrace(kTraceChannel, "DQ D=%dys L=%d+%d=%d", sm_MicrosecondsSince(start), oldAmount, length, oldAmount + length);
            CJnDebugManager::sm_Get()->m_HexDump(kTraceChannel, "DQ", buffer->m_GetData(), length);
        }
        node->previous = m_pDataTail;
        if (m_pDataTail) m_pDataTail->next = node;
        else m_pDataHead = node;
        m_pDataTail = node;
        m_ulDataNodes++;
        m_ulDataInQueue += length;
    }
    m_ServeHeads();
    if (tracing) JnTrace(kTraceChannel, "DQLEND");
    Notification n = m_Notification(oldAmount);
    bool decided = !IsListEmpty(&m_Decided);
    m_Lock.m_Release();
    KW_SYNC_POINT(kMatchedSyncPoint);
    m_Notify(n);
    if (decided) m_CompleteDecided();
    if (tracing)
        JnTrace(kTraceChannel, "CJnReadQueue::m_DataForPendingIrpArrived D=%dys L=%d DIQ=%d", sm_MicrosecondsSince(start),
                buffer ? n.newAmount - n.oldAmount : 0, n.newAmount);
}

void CJnReadQueue::sm_TimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    CJnReadQueue* queue = static_cast<CJnReadQueue*>(context);
    CJnQueueTimer& timer = queue->m_IntervalTimer.m_Owns(dpc) ? queue->m_IntervalTimer : queue->m_TotalTimer;
    queue->m_Lock.m_AcquireAtDpcLevel();
    if (sm_Tracing(kTraceChannel)) queue->m_PathStart = KeQueryPerformanceCounter(nullptr);
    PIRP head = sm_First(&queue->m_Pending);
    PVOID expired = timer.m_Expired();
    // A run for an arming that was cancelled or replaced, or for a read that is no longer
    // the head, does nothing.
    if (!head || expired != head) {
        queue->m_Lock.m_Release();
        return;
    }
    ULONG oldAmount = queue->m_ulDataInQueue;
    queue->m_CopyInto(head);
    if (sm_Tracing(kTraceChannel)) JnTrace(kTraceChannel, "CI6 D=%dys DIQ=%d", sm_MicrosecondsSince(queue->m_PathStart), queue->m_ulDataInQueue);
    queue->m_FinishHead(head, STATUS_TIMEOUT);
    // The next read is the head now and is timed from now.
    queue->m_ServeHeads();
    Notification n = queue->m_Notification(oldAmount);
    queue->m_Lock.m_Release();
    queue->m_CompleteDecided();
    queue->m_Notify(n);
}

void CJnReadQueue::m_OnCancel(PIRP, ULONG state)
{
    m_ulPendingCount--;
    if (state != kHead) return;
    m_IntervalTimer.m_Cancel();
    m_TotalTimer.m_Cancel();
    m_ulCurrentLength = 0;
}

void CJnReadQueue::m_AfterCancel()
{
    // The next read, if any, becomes the head.
    m_Lock.m_Acquire();
    ULONG oldAmount = m_ulDataInQueue;
    m_ServeHeads();
    Notification n = m_Notification(oldAmount);
    bool decided = !IsListEmpty(&m_Decided);
    m_Lock.m_Release();
    m_Notify(n);
    if (decided) m_CompleteDecided();
}

void CJnReadQueue::m_CancelAllIrps()
{
    bool tracing = sm_Tracing(kTraceChannel);
    LARGE_INTEGER start = {};
    if (tracing) start = KeQueryPerformanceCounter(nullptr);
    m_Lock.m_Acquire();
    m_IntervalTimer.m_Cancel();
    m_TotalTimer.m_Cancel();
    while (PIRP irp = sm_First(&m_Pending)) {
        if (tracing) JnTrace(kTraceChannel, "CI7 D=%dys", sm_MicrosecondsSince(start));
        m_ulPendingCount--;
        // The head keeps the bytes it holds.
        m_Decide(irp, STATUS_CANCELLED, irp->IoStatus.Information);
    }
    m_ulCurrentLength = 0;
    m_Lock.m_Release();
    m_CompleteDecided();
}

void CJnReadQueue::m_FlushData()
{
    m_Lock.m_Acquire();
    DataNode* list = m_pDataHead;
    m_pDataHead = m_pDataTail = nullptr;
    m_ulDataNodes = 0;
    Notification n = m_Notification(m_ulDataInQueue);
    m_ulDataInQueue = 0;
    n.newAmount = 0;
    m_Lock.m_Release();
    while (list) {
        DataNode* next = list->next;
        list->payload->m_Delete();
        delete list;
        list = next;
    }
    // The owner's flow control and status follow the amount: a purge must be seen.
    m_Notify(n);
}

// ---- notification ----

void CJnReadQueue::m_Notify(const Notification& n)
{
    if (!n.callback || n.newAmount == n.oldAmount) return;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        n.callback(n.context, n.newAmount, n.oldAmount);
    } else if (m_pDeferredQueue) {
        m_pDeferredQueue->m_Queue(sm_DeferredNotify, this, nullptr);
    }
}

void CJnReadQueue::sm_DeferredNotify(PVOID context, PVOID)
{
    CJnReadQueue* queue = static_cast<CJnReadQueue*>(context);
    queue->m_Lock.m_Acquire();
    ULONG amount = queue->m_ulDataInQueue;
    JnDataAmountChanged callback = queue->m_pDataAmountChanged;
    PVOID callbackContext = queue->m_pDataAmountChangedContext;
    queue->m_Lock.m_Release();
    if (callback) callback(callbackContext, amount, amount);
}

// ---- settings ----

ULONG CJnReadQueue::m_GetDataAmount() { return m_ReadLocked(m_ulDataInQueue); }

void CJnReadQueue::m_SetTimeouts(ULONG readIntervalTimeout, ULONG readTotalTimeoutMultiplier,
                                 ULONG readTotalTimeoutConstant)
{
    m_Lock.m_Acquire();
    m_Next.interval = readIntervalTimeout;
    m_Next.multiplier = readTotalTimeoutMultiplier;
    m_Next.constant = readTotalTimeoutConstant;
    if (IsListEmpty(&m_Pending)) m_Current = m_Next;
    m_Lock.m_Release();
}

void CJnReadQueue::m_SetState(BOOLEAN accepting, NTSTATUS rejectStatus)
{
    m_Lock.m_Acquire();
    m_bAccepting = accepting;
    m_RejectStatus = rejectStatus;
    m_Lock.m_Release();
}

void CJnReadQueue::m_SetNotification(JnDataAmountChanged callback, PVOID context)
{
    m_Lock.m_Acquire();
    m_pDataAmountChanged = callback;
    m_pDataAmountChangedContext = context;
    m_Lock.m_Release();
}
