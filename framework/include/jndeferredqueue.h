// CJnDeferredQueue: calls queued at any level up to DISPATCH_LEVEL and run later at
// PASSIVE_LEVEL, either each in a system work item (WDM 1.10 and later, bound to a
// device object) or one after another in the queue's own worker thread.
#pragma once

#include "jnremovelock.h"
#include "jnworkerthread.h"

typedef void (*JnDeferredFunction)(PVOID argument1, PVOID argument2);

class CJnDeferredQueue : public CJnWorkerThread {
public:
    CJnDeferredQueue();
    ~CJnDeferredQueue();

    // With a device object on WDM 1.10 and later: work-item mode; otherwise own thread,
    // at `priority` (0 keeps the system's default).
    bool m_Init(PDEVICE_OBJECT deviceObject, KPRIORITY priority = 0);
    // False when the call is dropped (no memory, no work item, queue stopped).
    bool m_Queue(JnDeferredFunction function, PVOID argument1, PVOID argument2);
    // Work-item mode waits until every queued call has run; thread mode stops the thread
    // and discards the calls it had not reached.
    void m_Stop();
    bool m_UsesWorkItems() const { return m_pDeviceObject != nullptr; }
    ULONG m_PendingCount() const { return m_ulPendingCount; }

private:
    struct PendingCall;
    static void sm_WorkItemRoutine(PDEVICE_OBJECT deviceObject, PVOID context);
    static void sm_Drain(PVOID context);

    PDEVICE_OBJECT m_pDeviceObject;
    LIST_ENTRY m_Pending;
    ULONG m_ulPendingCount;
    KEVENT m_WorkAvailable;
    CJnSpinLock m_Lock;
    CJnRemoveLock m_QueuedWork;
    bool m_bAccepting;
};
