#include "jnirpqueue.h"
#include "jndebugmanager.h"

CJnIrpQueue::CJnIrpQueue()
{
    InitializeListHead(&m_Decided);
    IoCsqInitializeEx(&m_Csq, sm_CsqInsert, sm_CsqRemove, sm_CsqPeekNext, sm_CsqAcquireLock, sm_CsqReleaseLock,
                      sm_CsqCompleteCanceled);
}

NTSTATUS CJnIrpQueue::m_Insert(PIRP irp, PVOID context) { return IoCsqInsertIrpEx(&m_Csq, irp, nullptr, context); }

void CJnIrpQueue::sm_Link(PLIST_ENTRY list, PIRP irp, ULONG state)
{
    sm_SetState(irp, state);
    InsertTailList(list, &irp->Tail.Overlay.ListEntry);
}

void CJnIrpQueue::sm_LinkHead(PLIST_ENTRY list, PIRP irp, ULONG state)
{
    sm_SetState(irp, state);
    InsertHeadList(list, &irp->Tail.Overlay.ListEntry);
}

void CJnIrpQueue::m_Decide(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    sm_Link(&m_Decided, irp, kDecided);
}

void CJnIrpQueue::m_CompleteDecided()
{
    // Each one leaves through the cancel-safe queue, which clears its cancel routine; one
    // that is being cancelled right now is left to the cancel path.
    while (PIRP irp = IoCsqRemoveNextIrp(&m_Csq, nullptr)) IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS CJnIrpQueue::sm_CsqInsert(PIO_CSQ csq, PIRP irp, PVOID context) { return sm_From(csq)->m_OnInsert(irp, context); }

void CJnIrpQueue::sm_CsqRemove(PIO_CSQ csq, PIRP irp)
{
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    ULONG state = sm_State(irp);
    if (state == kDecided) return;
    // Only the cancel path takes out a request that is not decided.
    sm_SetState(irp, kCancelling);
    sm_From(csq)->m_OnCancel(irp, state);
}

PIRP CJnIrpQueue::sm_CsqPeekNext(PIO_CSQ csq, PIRP irp, PVOID)
{
    CJnIrpQueue* queue = sm_From(csq);
    PLIST_ENTRY next = irp ? irp->Tail.Overlay.ListEntry.Flink : queue->m_Decided.Flink;
    return next == &queue->m_Decided ? nullptr : sm_Irp(next);
}

void CJnIrpQueue::sm_CsqAcquireLock(PIO_CSQ csq, PKIRQL irql)
{
    sm_From(csq)->m_Lock.m_Acquire();
    *irql = DISPATCH_LEVEL;  // the spin lock object keeps the level to return to
}

void CJnIrpQueue::sm_CsqReleaseLock(PIO_CSQ csq, KIRQL) { sm_From(csq)->m_Lock.m_Release(); }

void CJnIrpQueue::sm_CsqCompleteCanceled(PIO_CSQ csq, PIRP irp)
{
    CJnIrpQueue* queue = sm_From(csq);
    if (sm_State(irp) == kDecided) {
        // Decided before the cancel came: it keeps its outcome.
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = queue->m_CancelledInformation(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    queue->m_AfterCancel();
}

bool CJnIrpQueue::sm_Tracing(ULONG channel)
{
    CJnDebugManager* manager = CJnDebugManager::sm_Get();
    return manager && manager->m_IsEnabled(channel);
}

ULONG CJnIrpQueue::sm_MicrosecondsSince(LARGE_INTEGER start)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    if (!frequency.QuadPart || now.QuadPart < start.QuadPart) return 0;
    return (ULONG)((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
}
