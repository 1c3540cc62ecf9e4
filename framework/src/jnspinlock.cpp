#include "jnspinlock.h"

void CJnSpinLock::m_Initialize()
{
    KeInitializeSpinLock(&m_Lock);
    m_SavedLevel = kFree;
}

void CJnSpinLock::m_Acquire()
{
    KIRQL previous = KeAcquireSpinLockRaiseToDpc(&m_Lock);
    // Whoever held the lock before must have released it through this class.
    if (m_SavedLevel != kFree) DbgBreakPoint();
    m_SavedLevel = previous;
}

void CJnSpinLock::m_AcquireAtDpcLevel()
{
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) DbgBreakPoint();
    KeAcquireSpinLockAtDpcLevel(&m_Lock);
    if (m_SavedLevel != kFree) DbgBreakPoint();
    m_SavedLevel = DISPATCH_LEVEL;
}

void CJnSpinLock::m_Release()
{
    KIRQL level = m_SavedLevel;
    if (level == kFree) {
        // Not held: releasing the kernel lock now would corrupt it.
        DbgBreakPoint();
        return;
    }
    m_SavedLevel = kFree;
    KeReleaseSpinLock(&m_Lock, level);
}
