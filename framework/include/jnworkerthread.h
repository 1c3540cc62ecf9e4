// CJnWorkerThread: a system thread that waits on one object of its owner (and its own
// stop event) and calls one routine for every wake-up, at PASSIVE_LEVEL or APC_LEVEL.
#pragma once

#include "jnmemorypool.h"

typedef void (*JnWorkerRoutine)(PVOID context);

class CJnWorkerThread : public CJnObject {
public:
    CJnWorkerThread();
    virtual ~CJnWorkerThread();

    // priority 0..31 (0 keeps the system's default); run level 0 runs the routine at
    // PASSIVE_LEVEL, 1 at APC_LEVEL, 2 or more leaves the level alone. A running thread
    // is stopped first.
    bool m_Create(JnWorkerRoutine routine, PVOID context, PVOID waitObject, KPRIORITY priority, UCHAR runLevel);
    // Ends the thread and waits for it; the object can be created again.
    void m_Stop();
    void m_Reset();
    // Relative wait timeout in 100-ns units (0: none); a timeout wakes the routine too.
    void m_SetTimeout(LONGLONG timeout) { m_Timeout.QuadPart = timeout > 0 ? -timeout : timeout; }
    void m_SetRunOnceAtStart(bool runOnce) { m_bRunOnceAtStart = runOnce ? 1 : 0; }
    bool m_IsRunning() const { return m_pThread != nullptr; }

protected:
    bool m_StopRequested() const { return m_bStop == 1; }

private:
    static void sm_ThreadRoutine(PVOID context);
    void m_Run();

    JnWorkerRoutine m_Routine;
    PVOID m_pContext;
    KEVENT m_StopEvent;
    volatile UCHAR m_bStop;
    KEVENT m_EndedEvent;
    HANDLE m_hThread;
    PVOID m_pThread;
    PVOID* m_pWaitObjects;
    ULONG m_ulWaitObjectCount;
    LARGE_INTEGER m_Timeout;
    UCHAR m_bRunOnceAtStart;
    KWAIT_BLOCK m_WaitBlocks[2];
    KPRIORITY m_Priority;
    UCHAR m_ucRunLevel;
};
