// CJnTimerList: one-shot and periodic timers whose routine runs in the timer DPC or, for
// a list made to run at passive level, through the list's own deferred queue.
#pragma once

#include "jndeferredqueue.h"

typedef void (*JnTimerRoutine)(PVOID context);

class CJnTimerList;

struct JnTimer : CJnObject {
    KTIMER Timer;
    KDPC Dpc;
    CJnTimerList* pList;
    JnTimerRoutine Routine;
    PVOID pContext;
    bool bPeriodic;
    LONGLONG Interval;  // 100-ns units
    LIST_ENTRY Link;
    // Cancelled while its expiry was already running or queued: the DPC frees it.
    bool bCancelled;
};

class CJnTimerList : public CJnObject {
public:
    CJnTimerList();
    ~CJnTimerList();

    bool m_Initialize(bool runAtPassiveLevel);
    // A new timer that expires after `interval` (100-ns units), or null.
    JnTimer* m_Arm(JnTimerRoutine routine, PVOID context, LONGLONG interval);
    // The same, expiring every `interval` until cancelled.
    JnTimer* m_ArmPeriodic(JnTimerRoutine routine, PVOID context, LONGLONG interval);
    // Stops a timer (a routine already running completes; no later expiry). A timer no
    // longer listed (it expired) is fine: true.
    bool m_Cancel(JnTimer* timer);
    void m_CancelAll();
    // Cancels everything, waits for running expiries and ends the deferred queue.
    void m_Destroy();
    ULONG m_Count() const { return m_ulCount; }

private:
    static void sm_TimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static void sm_PassiveCall(PVOID routine, PVOID context);
    JnTimer* m_Start(JnTimerRoutine routine, PVOID context, LONGLONG interval, bool periodic);
    bool m_Listed(JnTimer* timer);
    // Under the lock: unlinks and stops a timer; true when it may be freed now.
    bool m_Unlink(JnTimer* timer);

    CJnSpinLock m_Lock;
    CJnRemoveLock m_Armed;  // one reference per pending expiry
    bool m_bRunAtPassiveLevel;
    CJnDeferredQueue* m_pDeferredQueue;
    LIST_ENTRY m_Timers;
    ULONG m_ulCount;
};
