#include "jndeferredqueue.h"
#include "jndebugmanager.h"

struct CJnDeferredQueue::PendingCall : CJnObject {
    LIST_ENTRY link;
    JnDeferredFunction function;
    PVOID argument1;
    PVOID argument2;
    PIO_WORKITEM workItem;
    CJnRemoveLock* lock;
};

CJnDeferredQueue::CJnDeferredQueue() : m_pDeviceObject(nullptr), m_ulPendingCount(0), m_bAccepting(false)
{
    InitializeListHead(&m_Pending);
    KeInitializeEvent(&m_WorkAvailable, SynchronizationEvent, TRUE);
}

CJnDeferredQueue::~CJnDeferredQueue() { m_Stop(); }

bool CJnDeferredQueue::m_Init(PDEVICE_OBJECT deviceObject, KPRIORITY priority)
{
    JnTrace(1, "m_Init IN");
    m_QueuedWork.m_Initialize(TRUE);
    if (deviceObject && IoIsWdmVersionAvailable(1, 0x10)) {
        m_pDeviceObject = deviceObject;
    } else {
        m_pDeviceObject = nullptr;
        if (!m_Create(sm_Drain, this, &m_WorkAvailable, priority, 0)) return false;
    }
    m_Lock.m_Acquire();
    m_bAccepting = true;
    m_Lock.m_Release();
    JnTrace(1, "m_Init OUT");
    return true;
}

bool CJnDeferredQueue::m_Queue(JnDeferredFunction function, PVOID argument1, PVOID argument2)
{
    m_Lock.m_Acquire();
    if (!m_bAccepting) {
        m_Lock.m_Release();
        return false;
    }
    PendingCall* call = new PendingCall();
    if (!call) {
        m_Lock.m_Release();
        return false;
    }
    call->function = function;
    call->argument1 = argument1;
    call->argument2 = argument2;
    call->workItem = nullptr;
    call->lock = &m_QueuedWork;
    bool queued = true;
    if (m_pDeviceObject) {
        if (!m_QueuedWork.m_Acquire()) {
            queued = false;
        } else if (!(call->workItem = IoAllocateWorkItem(m_pDeviceObject))) {
            // No work item: the call cannot run, and its reference must not keep a
            // later stop waiting.
            m_QueuedWork.m_Release();
            queued = false;
        } else {
            IoQueueWorkItem(call->workItem, sm_WorkItemRoutine, DelayedWorkQueue, call);
        }
        if (!queued) delete call;
    } else {
        InsertTailList(&m_Pending, &call->link);
        m_ulPendingCount++;
        KeSetEvent(&m_WorkAvailable, IO_NO_INCREMENT, FALSE);
    }
    m_Lock.m_Release();
    return queued;
}

void CJnDeferredQueue::sm_WorkItemRoutine(PDEVICE_OBJECT, PVOID context)
{
    PendingCall* call = static_cast<PendingCall*>(context);
    call->function(call->argument1, call->argument2);
    CJnRemoveLock* lock = call->lock;
    IoFreeWorkItem(call->workItem);
    delete call;
    // Last: the queue may be gone as soon as its stop sees this.
    lock->m_Release();
}

void CJnDeferredQueue::sm_Drain(PVOID context)
{
    CJnDeferredQueue* queue = static_cast<CJnDeferredQueue*>(context);
    for (;;) {
        // A stop that came meanwhile leaves the rest to be discarded.
        if (queue->m_StopRequested()) return;
        queue->m_Lock.m_Acquire();
        if (IsListEmpty(&queue->m_Pending)) {
            queue->m_Lock.m_Release();
            return;
        }
        PendingCall* call = CONTAINING_RECORD(RemoveHeadList(&queue->m_Pending), PendingCall, link);
        queue->m_ulPendingCount--;
        queue->m_Lock.m_Release();
        call->function(call->argument1, call->argument2);
        delete call;
    }
}

void CJnDeferredQueue::m_Stop()
{
    m_Lock.m_Acquire();
    m_bAccepting = false;
    m_Lock.m_Release();
    if (m_pDeviceObject) {
        m_QueuedWork.m_DisableAndWait();
        return;
    }
    CJnWorkerThread::m_Stop();
    for (;;) {
        m_Lock.m_Acquire();
        if (IsListEmpty(&m_Pending)) {
            m_Lock.m_Release();
            break;
        }
        PendingCall* call = CONTAINING_RECORD(RemoveHeadList(&m_Pending), PendingCall, link);
        m_ulPendingCount--;
        m_Lock.m_Release();
        delete call;
    }
}
