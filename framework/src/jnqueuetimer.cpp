#include "jnqueuetimer.h"

void CJnQueueTimer::m_Initialize(PKDEFERRED_ROUTINE routine, PVOID context)
{
    KeInitializeTimer(&m_Timer);
    KeInitializeDpc(&m_Dpc, routine, context);
    m_pArmedFor = nullptr;
}

LONGLONG CJnQueueTimer::sm_FromMilliseconds(ULONGLONG milliseconds)
{
    const ULONGLONG perMillisecond = 10000;
    if (milliseconds >= (ULONGLONG)kLongest / perMillisecond) return kLongest;
    return (LONGLONG)(milliseconds * perMillisecond);
}

void CJnQueueTimer::m_Arm(PVOID armedFor, LONGLONG interval)
{
    LARGE_INTEGER due;
    due.QuadPart = -(interval > 0 ? interval : 0);
    m_pArmedFor = armedFor;
    KeSetTimer(&m_Timer, due, &m_Dpc);
}

void CJnQueueTimer::m_Cancel()
{
    m_pArmedFor = nullptr;
    KeCancelTimer(&m_Timer);
}

PVOID CJnQueueTimer::m_Expired()
{
    if (!m_pArmedFor || !KeReadStateTimer(&m_Timer)) return nullptr;
    PVOID armedFor = m_pArmedFor;
    m_pArmedFor = nullptr;
    return armedFor;
}

void CJnQueueTimer::m_Destroy()
{
    KeCancelTimer(&m_Timer);
    KeFlushQueuedDpcs();
}
