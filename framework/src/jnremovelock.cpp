#include "jnremovelock.h"

void CJnRemoveLock::m_Initialize(BOOLEAN enabled)
{
    m_Lock.m_Acquire();
    m_lCount = 0;
    m_bEnabled = enabled;
    KeSetEvent(&m_Drained, IO_NO_INCREMENT, FALSE);
    m_Lock.m_Release();
}

void CJnRemoveLock::m_SetEnabled(BOOLEAN enabled)
{
    m_Lock.m_Acquire();
    m_bEnabled = enabled;
    m_Lock.m_Release();
}

bool CJnRemoveLock::m_Acquire()
{
    m_Lock.m_Acquire();
    bool granted = m_bEnabled && (ULONG)m_lCount != m_ulLimit;
    if (granted && m_lCount++ == 0) KeClearEvent(&m_Drained);
    m_Lock.m_Release();
    return granted;
}

void CJnRemoveLock::m_Release()
{
    m_Lock.m_Acquire();
    if (m_lCount > 0 && --m_lCount == 0) KeSetEvent(&m_Drained, IO_NO_INCREMENT, FALSE);
    m_Lock.m_Release();
}

void CJnRemoveLock::m_DisableAndWait()
{
    m_Lock.m_Acquire();
    m_bEnabled = FALSE;
    bool busy = m_lCount != 0;
    if (!busy) KeSetEvent(&m_Drained, IO_NO_INCREMENT, FALSE);
    m_Lock.m_Release();
    if (!busy) return;
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        KeWaitForSingleObject(&m_Drained, Executive, KernelMode, FALSE, nullptr);
        // The last releaser signals while it holds the lock: once the lock is free
        // again it has finished with this object, which the caller may now free.
        m_Lock.m_Acquire();
        m_Lock.m_Release();
    } else {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        KeWaitForSingleObject(&m_Drained, Executive, KernelMode, FALSE, &zero);
    }
}
