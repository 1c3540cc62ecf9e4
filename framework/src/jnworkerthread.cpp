#include "jnworkerthread.h"
#include "jndebugmanager.h"

namespace {
const char kSourcePath[] = "framework\\src\\jnworkerthread";
}

CJnWorkerThread::CJnWorkerThread()
    : m_Routine(nullptr), m_pContext(nullptr), m_bStop(0), m_hThread(nullptr), m_pThread(nullptr), m_pWaitObjects(nullptr),
      m_ulWaitObjectCount(0), m_bRunOnceAtStart(0), m_Priority(0), m_ucRunLevel(0)
{
    m_Timeout.QuadPart = 0;
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_EndedEvent, NotificationEvent, FALSE);
}

CJnWorkerThread::~CJnWorkerThread() { m_Stop(); }

bool CJnWorkerThread::m_Create(JnWorkerRoutine routine, PVOID context, PVOID waitObject, KPRIORITY priority, UCHAR runLevel)
{
    JnTrace(0, "m_Create IN");
    if (!waitObject || priority >= 32 || runLevel >= 16) {
        JnAssertPrint(kSourcePath, __LINE__);
        return false;
    }
    if (m_pThread) m_Stop();
    m_Routine = routine;
    m_pContext = context;
    m_bStop = 0;
    m_Priority = priority;
    m_ucRunLevel = runLevel;
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_EndedEvent);
    m_pWaitObjects = static_cast<PVOID*>(JnAllocate(2 * sizeof(PVOID), NonPagedPool));
    if (!m_pWaitObjects) return false;
    m_pWaitObjects[0] = waitObject;
    m_pWaitObjects[1] = &m_StopEvent;
    m_ulWaitObjectCount = 2;
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, sm_ThreadRoutine, this);
    if (!NT_SUCCESS(status)) {
        JnFree(m_pWaitObjects);
        m_pWaitObjects = nullptr;
        m_ulWaitObjectCount = 0;
        return false;
    }
    PVOID thread;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr))) {
        // Without the object only the ended event tells when it is gone.
        m_bStop = 1;
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_EndedEvent, Executive, KernelMode, FALSE, nullptr);
        ZwClose(handle);
        JnFree(m_pWaitObjects);
        m_pWaitObjects = nullptr;
        m_ulWaitObjectCount = 0;
        return false;
    }
    m_hThread = handle;
    m_pThread = thread;
    JnTrace(0, "m_Create OUT");
    return true;
}

void CJnWorkerThread::sm_ThreadRoutine(PVOID context) { static_cast<CJnWorkerThread*>(context)->m_Run(); }

void CJnWorkerThread::m_Run()
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        JnAssertPrint(kSourcePath, __LINE__);
        KeSetEvent(&m_EndedEvent, IO_NO_INCREMENT, FALSE);
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    bool raised = false;
    KIRQL previous = PASSIVE_LEVEL;
    if (m_ucRunLevel != 0) {
        KeRaiseIrql(APC_LEVEL, &previous);
        raised = true;
    } else if (m_Priority != 0) {
        KeSetPriorityThread(KeGetCurrentThread(), m_Priority);
    }
    if (m_bRunOnceAtStart) m_Routine(m_pContext);
    for (;;) {
        KeWaitForMultipleObjects(m_ulWaitObjectCount, m_pWaitObjects, WaitAny, Executive, KernelMode, FALSE,
                                 m_Timeout.QuadPart ? &m_Timeout : nullptr, m_WaitBlocks);
        if (m_bStop == 1) break;
        if (m_ucRunLevel <= APC_LEVEL) {
            KIRQL current = KeGetCurrentIrql();
            if (current < m_ucRunLevel) {
                KIRQL old;
                KeRaiseIrql(m_ucRunLevel, &old);
                m_Routine(m_pContext);
                KeLowerIrql(old);
            } else if (current > m_ucRunLevel) {
                KeLowerIrql(m_ucRunLevel);
                m_Routine(m_pContext);
                KIRQL old;
                KeRaiseIrql(current, &old);
            } else {
                m_Routine(m_pContext);
            }
        } else {
            m_Routine(m_pContext);
        }
    }
    if (raised) KeLowerIrql(previous);
    KeSetPriorityThread(KeGetCurrentThread(), 31);
    KeSetEvent(&m_EndedEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void CJnWorkerThread::m_Stop()
{
    if (!m_pThread) return;
    m_bStop = 1;
    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&m_EndedEvent, Executive, KernelMode, FALSE, nullptr);
    // The ended event is the thread's last act but one: wait until it has really left
    // (its code may be unloaded next).
    KeWaitForSingleObject(m_pThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(m_pThread);
    ZwClose(m_hThread);
    m_Reset();
}

void CJnWorkerThread::m_Reset()
{
    m_pThread = nullptr;
    m_hThread = nullptr;
    JnFree(m_pWaitObjects);
    m_pWaitObjects = nullptr;
    m_ulWaitObjectCount = 0;
    m_bStop = 0;
    KeClearEvent(&m_StopEvent);
    KeClearEvent(&m_EndedEvent);
}
