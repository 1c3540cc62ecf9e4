// CJnReadQueue: the serial port's read requests (IRP_MJ_READ, buffered) and the received
// data that waits for them. Received CJnDataBuffer objects are queued as they come and
// copied once, straight into the read's system buffer; a partly used buffer is advanced in
// place. Reads complete by the serial read timeouts (SERIAL_TIMEOUTS):
//
//   immediate   RI = MAXULONG, RTM = RTC = 0: at once with what is buffered
//   first data  RI = RTM = MAXULONG, 0 < RTC < MAXULONG: as soon as any data is there, else
//               STATUS_TIMEOUT after RTC
//   general     full, or STATUS_TIMEOUT after L x RTM + RTC (RTC alone when RI = RTM =
//               MAXULONG; none when both are 0) or after RI without a new byte once the
//               read has received one (none when RI is 0)
//
// The read at the head of the pending list is the one being served: it takes the timeouts
// set last when it becomes the head, and its timers are armed for it alone. Every change of
// the amount of buffered data is reported to the notification (new, old), without the lock:
// from the caller's thread at PASSIVE_LEVEL, else from the device's deferred queue with
// (amount, amount).
#pragma once

#include "jndatabuffer.h"
#include "jndeferredqueue.h"
#include "jnirpqueue.h"
#include "jnqueuetimer.h"

typedef void (*JnDataAmountChanged)(PVOID context, ULONG newAmount, ULONG oldAmount);

class CJnReadQueue : public CJnIrpQueue {
public:
    static const ULONG kTraceChannel = 5;
    // Sync point: the reads a data buffer satisfied are decided, not yet completed.
    static constexpr const char* kMatchedSyncPoint = "JnReadQueueMatched";

    CJnReadQueue();
    virtual ~CJnReadQueue();

    // The deferred queue that runs notifications due at raised IRQL (may stay null).
    void m_Initialize(CJnDeferredQueue* deferredQueue);

    // A read: STATUS_PENDING when it waits, otherwise the status it was completed with.
    virtual NTSTATUS m_QueueIrp(PIRP irp);
    // Received data (ownership passes to the queue); null only re-runs the matching.
    void m_DataForPendingIrpArrived(CJnDataBuffer* buffer);
    // Completes every pending read with STATUS_CANCELLED and the bytes it holds.
    void m_CancelAllIrps();
    // Discards the buffered data.
    void m_FlushData();
    ULONG m_GetDataAmount();
    void m_SetTimeouts(ULONG readIntervalTimeout, ULONG readTotalTimeoutMultiplier, ULONG readTotalTimeoutConstant);
    void m_SetState(BOOLEAN accepting, NTSTATUS rejectStatus);
    void m_SetNotification(JnDataAmountChanged callback, PVOID context);

private:
    struct InsertRequest;
    struct Timeouts {
        ULONG interval, multiplier, constant;
    };
    enum TimeoutClass { kImmediate, kFirstData, kGeneral };
    // A data list node: {payload, next, previous, reserved}, from the driver's pool.
    struct DataNode : CJnObject {
        CJnDataBuffer* payload;
        DataNode* next;
        DataNode* previous;
        PVOID reserved;
    };
    struct Notification {
        JnDataAmountChanged callback;
        PVOID context;
        ULONG newAmount;
        ULONG oldAmount;
    };

    NTSTATUS m_OnInsert(PIRP irp, PVOID context) override;
    NTSTATUS m_InsertRead(PIRP irp, InsertRequest* request);
    void m_OnCancel(PIRP irp, ULONG state) override;
    ULONG_PTR m_CancelledInformation(PIRP irp) override { return irp->IoStatus.Information; }
    void m_AfterCancel() override;

    // Under the lock.
    TimeoutClass m_Class() const;
    ULONG m_CopyInto(PIRP irp);
    bool m_FeedHead(PIRP head, bool fresh);
    void m_ServeHeads();
    void m_FinishHead(PIRP head, NTSTATUS status);
    void m_StartTotalTimer(PIRP head);
    void m_StartIntervalTimer(PIRP head);
    Notification m_Notification(ULONG oldAmount) const;

    void m_Notify(const Notification& n);
    static void sm_DeferredNotify(PVOID queue, PVOID);
    static void sm_TimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

    BOOLEAN m_bAccepting;
    NTSTATUS m_RejectStatus;
    LIST_ENTRY m_Pending;
    ULONG m_ulPendingCount;
    JnDataAmountChanged m_pDataAmountChanged;
    PVOID m_pDataAmountChangedContext;
    Timeouts m_Current;
    Timeouts m_Next;
    CJnQueueTimer m_IntervalTimer;
    CJnQueueTimer m_TotalTimer;
    DataNode* m_pDataHead;
    DataNode* m_pDataTail;
    ULONG m_ulDataNodes;
    ULONG m_ulDataInQueue;
    ULONG m_ulCurrentLength;
    CJnDeferredQueue* m_pDeferredQueue;
    DataNode* m_pSpareNode;
    LARGE_INTEGER m_LastQueueCall;
    LARGE_INTEGER m_PathStart;  // for the duration traces of the path holding the lock
};
