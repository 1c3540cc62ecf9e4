// CJnRemoveLock: a reference counter with an enabled flag, an optional limit and an
// event that is signalled whenever the count is 0. The framework guards the life of its
// objects with it (routing lock, device lock, callback lock, open lock, queued work).
#pragma once

#include "jnspinlock.h"

class CJnRemoveLock {
public:
    static constexpr ULONG kUnlimited = 0xFFFFFFFF;

    explicit CJnRemoveLock(ULONG limit = kUnlimited) : m_lCount(0), m_ulLimit(limit), m_bEnabled(FALSE)
    {
        KeInitializeEvent(&m_Drained, NotificationEvent, TRUE);
    }
    void m_Initialize(BOOLEAN enabled);
    void m_SetEnabled(BOOLEAN enabled);
    void m_SetLimit(ULONG limit) { m_ulLimit = limit; }
    // False when disabled or at the limit.
    bool m_Acquire();
    void m_Release();
    // Refuses new references and waits until the count is 0 (below DISPATCH_LEVEL
    // without a timeout; at DISPATCH_LEVEL it only looks).
    void m_DisableAndWait();
    LONG m_Count() const { return m_lCount; }
    BOOLEAN m_IsEnabled() const { return m_bEnabled; }

private:
    LONG m_lCount;
    ULONG m_ulLimit;
    BOOLEAN m_bEnabled;
    CJnSpinLock m_Lock;
    KEVENT m_Drained;
};
