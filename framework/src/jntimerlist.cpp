#include "jntimerlist.h"

CJnTimerList::CJnTimerList() : m_bRunAtPassiveLevel(false), m_pDeferredQueue(nullptr), m_ulCount(0)
{
    InitializeListHead(&m_Timers);
}

CJnTimerList::~CJnTimerList() { m_Destroy(); }

bool CJnTimerList::m_Initialize(bool runAtPassiveLevel)
{
    m_Armed.m_Initialize(TRUE);
    m_bRunAtPassiveLevel = runAtPassiveLevel;
    if (!runAtPassiveLevel) return true;
    m_pDeferredQueue = new CJnDeferredQueue();
    if (m_pDeferredQueue && m_pDeferredQueue->m_Init(nullptr)) return true;
    delete m_pDeferredQueue;
    m_pDeferredQueue = nullptr;
    return false;
}

JnTimer* CJnTimerList::m_Arm(JnTimerRoutine routine, PVOID context, LONGLONG interval)
{
    return m_Start(routine, context, interval, false);
}

JnTimer* CJnTimerList::m_ArmPeriodic(JnTimerRoutine routine, PVOID context, LONGLONG interval)
{
    return m_Start(routine, context, interval, true);
}

JnTimer* CJnTimerList::m_Start(JnTimerRoutine routine, PVOID context, LONGLONG interval, bool periodic)
{
    JnTimer* timer = new JnTimer();
    if (!timer) return nullptr;
    KeInitializeTimer(&timer->Timer);
    KeInitializeDpc(&timer->Dpc, sm_TimerDpc, timer);
    timer->pList = this;
    timer->Routine = routine;
    timer->pContext = context;
    timer->Interval = interval;
    timer->bPeriodic = periodic;
    timer->bCancelled = false;
    m_Lock.m_Acquire();
    if (!m_Armed.m_Acquire()) {
        m_Lock.m_Release();
        delete timer;
        return nullptr;
    }
    InsertTailList(&m_Timers, &timer->Link);
    m_ulCount++;
    LARGE_INTEGER due;
    due.QuadPart = -interval;
    if (KeSetTimer(&timer->Timer, due, &timer->Dpc)) m_Armed.m_Release();
    m_Lock.m_Release();
    return timer;
}

bool CJnTimerList::m_Listed(JnTimer* timer)
{
    for (PLIST_ENTRY e = m_Timers.Flink; e != &m_Timers; e = e->Flink)
        if (CONTAINING_RECORD(e, JnTimer, Link) == timer) return true;
    return false;
}

bool CJnTimerList::m_Unlink(JnTimer* timer)
{
    RemoveEntryList(&timer->Link);
    m_ulCount--;
    if (KeCancelTimer(&timer->Timer) || KeRemoveQueueDpc(&timer->Dpc)) {
        // The pending expiry is gone with it.
        m_Armed.m_Release();
        return true;
    }
    // Its DPC is running (perhaps this very call comes from its routine): the DPC
    // frees it, so that it is freed exactly once.
    timer->bCancelled = true;
    return false;
}

void CJnTimerList::sm_PassiveCall(PVOID routine, PVOID context)
{
    reinterpret_cast<JnTimerRoutine>(routine)(context);
}

void CJnTimerList::sm_TimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    JnTimer* timer = static_cast<JnTimer*>(context);
    CJnTimerList* list = timer->pList;
    list->m_Lock.m_AcquireAtDpcLevel();
    bool listed = list->m_Listed(timer);
    JnTimerRoutine routine = timer->Routine;
    PVOID routineContext = timer->pContext;
    list->m_Lock.m_Release();
    if (listed) {
        if (list->m_bRunAtPassiveLevel && list->m_pDeferredQueue)
            list->m_pDeferredQueue->m_Queue(sm_PassiveCall, reinterpret_cast<PVOID>(routine), routineContext);
        else
            routine(routineContext);
    }
    list->m_Lock.m_AcquireAtDpcLevel();
    bool free = false;
    if (list->m_Listed(timer)) {
        if (timer->bPeriodic) {
            if (list->m_Armed.m_Acquire()) {
                LARGE_INTEGER due;
                due.QuadPart = -timer->Interval;
                if (KeSetTimer(&timer->Timer, due, &timer->Dpc)) list->m_Armed.m_Release();
            }
        } else {
            RemoveEntryList(&timer->Link);
            list->m_ulCount--;
            free = true;
        }
    } else {
        free = timer->bCancelled;
    }
    list->m_Lock.m_Release();
    if (free) delete timer;
    // The reference this expiry consumed; the list may be destroyed right after.
    list->m_Armed.m_Release();
}

bool CJnTimerList::m_Cancel(JnTimer* timer)
{
    m_Lock.m_Acquire();
    bool freeNow = false;
    if (m_Listed(timer)) freeNow = m_Unlink(timer);
    m_Lock.m_Release();
    if (freeNow) delete timer;
    return true;
}

void CJnTimerList::m_CancelAll()
{
    for (;;) {
        m_Lock.m_Acquire();
        if (IsListEmpty(&m_Timers)) {
            m_Lock.m_Release();
            return;
        }
        JnTimer* timer = CONTAINING_RECORD(m_Timers.Flink, JnTimer, Link);
        bool freeNow = m_Unlink(timer);
        m_Lock.m_Release();
        if (freeNow) delete timer;
    }
}

void CJnTimerList::m_Destroy()
{
    m_CancelAll();
    m_Armed.m_DisableAndWait();
    if (m_pDeferredQueue) {
        m_pDeferredQueue->m_Stop();
        delete m_pDeferredQueue;
        m_pDeferredQueue = nullptr;
    }
}
