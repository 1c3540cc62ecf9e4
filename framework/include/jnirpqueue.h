// CJnIrpQueue: what the framework's request queues (read, write, control) share: one spin
// lock, a cancel-safe queue over the queue's own lists of IRPs, and the rule by which every
// request leaves a queue exactly once.
//
// A queue decides a request's outcome under its lock (m_Decide moves the IRP to the decided
// list with its status and information) and completes decided requests only after the lock
// is released (m_CompleteDecided), each taken out through the cancel-safe queue. A request
// therefore keeps its cancel routine until the moment it is completed: a cancel that comes
// after the decision completes it with the decided outcome, a cancel that comes before takes
// it out of its list (m_OnCancel, under the lock) and completes it as cancelled. No path can
// complete a request a second time or forget one.
//
// Queued IRPs are linked through Tail.Overlay.ListEntry; DriverContext[0] holds the IRP's
// state in its queue and DriverContext[1] (and [2]) values of the queue's own. DriverContext[3]
// belongs to the cancel-safe queue.
#pragma once

#include "jnmemorypool.h"
#include "jnspinlock.h"

class CJnIrpQueue : public CJnObject {
public:
    // IRP states common to every queue; queues number their own live states from kFirstLive.
    static const ULONG kDecided = 1;
    static const ULONG kCancelling = 2;
    static const ULONG kFirstLive = 3;

    CJnIrpQueue(const CJnIrpQueue&) = delete;
    CJnIrpQueue& operator=(const CJnIrpQueue&) = delete;

    // Whether a trace consumer wants the channel (duration traces measure only then).
    static bool sm_Tracing(ULONG channel);
    // Microseconds since a performance-counter reading.
    static ULONG sm_MicrosecondsSince(LARGE_INTEGER start);

protected:
    CJnIrpQueue();
    virtual ~CJnIrpQueue() {}

    // Hands the IRP to the queue's insert routine (m_OnInsert, under the lock). A refusal
    // (any status that is not a success) leaves the IRP with the caller, not pending.
    NTSTATUS m_Insert(PIRP irp, PVOID context);
    // Completes every decided request, in the order decided. Called without the lock.
    void m_CompleteDecided();
    // A counter of the queue, read under the lock.
    ULONG m_ReadLocked(const ULONG& value)
    {
        m_Lock.m_Acquire();
        ULONG v = value;
        m_Lock.m_Release();
        return v;
    }

    // Under the lock.
    static void sm_Link(PLIST_ENTRY list, PIRP irp, ULONG state);
    static void sm_LinkHead(PLIST_ENTRY list, PIRP irp, ULONG state);
    void m_Decide(PIRP irp, NTSTATUS status, ULONG_PTR information);
    static ULONG sm_State(PIRP irp) { return (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[0]; }
    static void sm_SetState(PIRP irp, ULONG state) { irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)state; }
    static ULONG_PTR sm_Value(PIRP irp) { return (ULONG_PTR)irp->Tail.Overlay.DriverContext[1]; }
    static void sm_SetValue(PIRP irp, ULONG_PTR value) { irp->Tail.Overlay.DriverContext[1] = (PVOID)value; }
    static PIRP sm_Irp(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }
    static PIRP sm_First(PLIST_ENTRY list) { return IsListEmpty(list) ? nullptr : sm_Irp(list->Flink); }

    // The queue's insert decision, under the lock: link the IRP and return STATUS_SUCCESS, or
    // refuse with a status (the IRP is not queued).
    virtual NTSTATUS m_OnInsert(PIRP irp, PVOID context) = 0;
    // A live request in `state` is being cancelled, under the lock; it is already unlinked.
    // The queue settles its own accounting.
    virtual void m_OnCancel(PIRP irp, ULONG state) = 0;
    // Information a request cancelled while live is completed with (STATUS_CANCELLED).
    virtual ULONG_PTR m_CancelledInformation(PIRP irp) { return 0; }
    // After a live request was completed as cancelled, without the lock.
    virtual void m_AfterCancel() {}

    CJnSpinLock m_Lock;
    IO_CSQ m_Csq;
    LIST_ENTRY m_Decided;

private:
    static CJnIrpQueue* sm_From(PIO_CSQ csq) { return CONTAINING_RECORD(csq, CJnIrpQueue, m_Csq); }
    static NTSTATUS sm_CsqInsert(PIO_CSQ csq, PIRP irp, PVOID context);
    static void sm_CsqRemove(PIO_CSQ csq, PIRP irp);
    static PIRP sm_CsqPeekNext(PIO_CSQ csq, PIRP irp, PVOID peekContext);
    static void sm_CsqAcquireLock(PIO_CSQ csq, PKIRQL irql);
    static void sm_CsqReleaseLock(PIO_CSQ csq, KIRQL irql);
    static void sm_CsqCompleteCanceled(PIO_CSQ csq, PIRP irp);
};
