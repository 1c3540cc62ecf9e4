// CJnWriteQueue: the serial port's write requests (IRP_MJ_WRITE, buffered). Their bytes go
// to the specific driver's write callback in chunks no larger than the transmit credit the
// bus side grants back as bytes leave; a write completes when all of its bytes have been
// reported written, or when its total timeout expires. The queue also holds the
// IRP_MJ_FLUSH_BUFFERS requests until every write is done and the transmitter is empty,
// and the IOCTL_SERIAL_XOFF_COUNTER request.
//
// Lists (all under the queue's lock): the waiting writes, oldest first, whose bytes are not
// all handed over (only the first can be partly handed over: its IoStatus.Information
// counts the bytes handed over); the writes in progress, whose bytes are all handed over
// and which wait for "written" reports (DriverContext[1] counts their bytes not yet
// reported); the held flushes; the held Xoff-counter request.
//
// Byte accounting: "written" reports are charged first to the discount (bytes handed over
// for writes that left the queue before they were reported: cancelled or timed out), then
// to the writes in progress in order. Bytes reported for the partly handed-over write stay
// in the unattributed count until it is in progress. The first report after an open only
// grants credit.
//
// A chunk the write callback refuses never reaches the line: the writes whose bytes it
// carried fail with STATUS_UNSUCCESSFUL (Information: their bytes taken before it) and its
// credit is given back. While a chunk is being handed over, DriverContext[2] of each write
// it took bytes from holds that write's share of it.
//
// The sender, the flush check and the Xoff character's send run on the queue's own
// deferred-execution object at PASSIVE_LEVEL, never in the caller's thread: they call into
// the specific driver, which must not be entered from its own callbacks. The sender runs
// under the write mutex, so chunks reach the write callback in the order they were taken.
#pragma once

#include "jndatabuffer.h"
#include "jndeferredqueue.h"
#include "jnirpqueue.h"
#include "jnqueuetimer.h"

// The specific driver's write callback: takes the buffer (ownership passes in every case);
// FALSE when the bytes could not be handed on.
typedef BOOLEAN (*JnWriteCallback)(PVOID context, CJnDataBuffer* buffer);
// Asked before a flush completes; TRUE when the transmitter holds nothing more.
typedef BOOLEAN (*JnTransmitterEmptyCallback)(PVOID context);
// Sends the Xoff character of an Xoff-counter request.
typedef BOOLEAN (*JnSendXoffCharacter)(PVOID context, UCHAR xoffChar);

class CJnWriteQueue : public CJnIrpQueue {
public:
    static const ULONG kTraceChannel = 6;
    static const LONGLONG kFlushPollInterval = 50000;  // 5 ms, in 100-ns units
    static const ULONG kAllOnes = 0xFFFFFFFF;
    // Flags of m_XoffCounterUpdate.
    static const ULONG kXoffAnotherRequest = 0x1;
    static const ULONG kXoffTimedOut = 0x2;
    static const ULONG kXoffCancel = 0x4;
    // Sync point: reported bytes are charged and the writes they finished are decided, not
    // yet completed.
    static constexpr const char* kWrittenSyncPoint = "JnWriteQueueWritten";

    CJnWriteQueue();
    virtual ~CJnWriteQueue();

    // Starts the deferred-execution object (work items of deviceObject; its own thread
    // without one). False when it cannot start.
    bool m_Initialize(PDEVICE_OBJECT deviceObject);
    // Stops the deferred work (work items are waited for, a thread's calls not yet run
    // are dropped); the owner calls it before it tears down the callbacks.
    void m_Stop();

    void m_SetWriteCallback(JnWriteCallback callback, PVOID context);
    void m_SetTransmitterEmptyCallback(JnTransmitterEmptyCallback callback, PVOID context);

    // A write: STATUS_PENDING, or the status it was completed with (zero length: success).
    virtual NTSTATUS m_QueueIrp(PIRP irp);
    // Bytes the bus side reports written (and credit it grants).
    void m_DataWritten(ULONG bytes);
    // Completes every write, flush and the Xoff-counter request with STATUS_CANCELLED.
    void m_CancelAllIrps();
    // Stores the Xoff-counter data for the request that comes next (under the lock).
    void m_SetXoffCounter(JnSendXoffCharacter routine, PVOID context, ULONG timeout, LONG counter, UCHAR xoffChar);
    // An IOCTL_SERIAL_XOFF_COUNTER request: STATUS_PENDING, or STATUS_SUCCESS when its
    // counter is 0.
    NTSTATUS m_QueueXoffCounterIrp(PIRP irp);
    // Re-examines the held Xoff-counter request (flags: kXoff*).
    void m_XoffCounterUpdate(ULONG flags);
    // Received bytes lower the counter of a held Xoff-counter request.
    void m_XoffCounterReceived(ULONG bytes);
    // An IRP_MJ_FLUSH_BUFFERS: STATUS_SUCCESS at once when no write is queued, else
    // STATUS_PENDING until every write is done and the transmitter is empty.
    NTSTATUS m_HoldFlushIrp(PIRP irp);
    void m_SetTimeouts(ULONG writeTotalTimeoutMultiplier, ULONG writeTotalTimeoutConstant);
    void m_SetState(BOOLEAN accepting, NTSTATUS rejectStatus);
    // At every open: the first report only grants credit; no credit, no discount.
    void m_ResetAccounting();

    ULONG m_GetQueuedBytes();
    ULONG m_GetCredit();
    ULONG m_GetDiscount();
    // No write waiting or in progress.
    bool m_IsEmpty();

private:
    struct InsertRequest;
    struct XoffCounter {
        JnSendXoffCharacter routine;
        PVOID context;
        ULONG timeout;
        LONG counter;
        UCHAR xoffChar;
    };
    // Follow-up work found under the lock and done after it (m_Finish).
    static const ULONG kWorkComplete = 0x1;
    static const ULONG kWorkSend = 0x2;
    static const ULONG kWorkFlushCheck = 0x4;
    static const ULONG kWorkSendXoff = 0x8;

    // Queues a write, flush or Xoff-counter request (kind: its list state).
    NTSTATUS m_Hold(PIRP irp, ULONG kind);
    NTSTATUS m_OnInsert(PIRP irp, PVOID context) override;
    void m_OnCancel(PIRP irp, ULONG state) override;
    void m_AfterCancel() override;

    // Under the lock.
    ULONG m_PendingWork();
    void m_Leave(PIRP irp, ULONG state);
    void m_TimeOldest();
    ULONG m_RemainingBytes(PIRP irp);
    ULONG m_Fill(PUCHAR buffer, ULONG room);
    void m_ChargeWritten();
    void m_XoffUpdateLocked(ULONG flags);
    void m_DecideAll(PLIST_ENTRY list, NTSTATUS status);
    void m_SetXoffIrp(PIRP irp);
    bool m_WritesEmpty() const { return IsListEmpty(&m_Waiting) && IsListEmpty(&m_InProgress); }

    // After the write callback, under the lock: a refused chunk fails its writes.
    void m_ChunkHandedOver(BOOLEAN accepted, ULONG copied);
    static ULONG sm_InFlight(PIRP irp) { return (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[2]; }
    static void sm_SetInFlight(PIRP irp, ULONG bytes) { irp->Tail.Overlay.DriverContext[2] = (PVOID)(ULONG_PTR)bytes; }

    void m_Finish(ULONG work);
    BOOLEAN m_Send();
    void m_FlushCheck();
    void m_SendXoff();

    static void sm_Send(PVOID queue, PVOID);
    static void sm_FlushCheck(PVOID queue, PVOID);
    static void sm_SendXoff(PVOID queue, PVOID);
    static void sm_TimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

    BOOLEAN m_bAccepting;
    NTSTATUS m_RejectStatus;
    JnWriteCallback m_pWriteCallback;
    PVOID m_pWriteCallbackContext;
    JnTransmitterEmptyCallback m_pTransmitterEmpty;
    PVOID m_pTransmitterEmptyContext;
    CJnQueueTimer m_FlushTimer;
    ULONG m_ulQueuedBytes;
    ULONG m_ulCredit;
    ULONG m_ulDiscount;
    CJnDeferredQueue m_DeferredQueue;
    KMUTEX m_WriteMutex;
    LIST_ENTRY m_Waiting;
    LIST_ENTRY m_InProgress;
    LIST_ENTRY m_Flushes;
    ULONG m_ulUnattributed;
    // Bytes of the chunk being handed over that belong to writes which left meanwhile.
    ULONG m_ulInFlightGone;
    ULONG m_ulWriteTotalTimeoutMultiplier;
    ULONG m_ulWriteTotalTimeoutConstant;
    CJnQueueTimer m_WriteTimer;
    PIRP m_pTimedWrite;
    // The held Xoff-counter request, its data, and the data stored for the next one.
    LIST_ENTRY m_XoffRequests;
    PIRP m_pXoffIrp;
    volatile LONG m_lXoffHeld;  // m_pXoffIrp is set; read without the lock
    XoffCounter m_Xoff;
    XoffCounter m_XoffNext;
    bool m_bXoffNextSet;
    bool m_bXoffSent;
    bool m_bXoffSendPending;
    CJnQueueTimer m_XoffTimer;
};
