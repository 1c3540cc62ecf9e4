// CJnSpinLock: the kernel spin lock with checks of its own use. The holder's previous
// interrupt request level is kept in the lock; it reads 0xFF while the lock is free, so
// a second acquire by the holder, or a release of a free lock, is caught (DbgBreakPoint).
#pragma once

#include "kwplat/kernel.h"

class CJnSpinLock {
public:
    static constexpr KIRQL kFree = 0xFF;

    CJnSpinLock() { m_Initialize(); }
    void m_Initialize();
    // Raises to DISPATCH_LEVEL.
    void m_Acquire();
    // The caller runs at DISPATCH_LEVEL already.
    void m_AcquireAtDpcLevel();
    void m_Release();
    KIRQL m_SavedIrql() const { return m_SavedLevel; }

private:
    KSPIN_LOCK m_Lock;
    volatile KIRQL m_SavedLevel;
};
