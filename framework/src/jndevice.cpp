#include <new>

#include "jndevice.h"
#include "jndebugmanager.h"

CJnDevice::~CJnDevice() { m_StopQueues(); }

bool CJnDevice::m_InitializeQueues(PDEVICE_OBJECT deviceObject)
{
    if (!m_DeferredQueue.m_Init(nullptr)) return false;
    m_ReadQueue.m_Initialize(&m_DeferredQueue);
    if (m_WriteQueue.m_Initialize(deviceObject)) return true;
    m_DeferredQueue.m_Stop();
    return false;
}

void CJnDevice::m_StopQueues()
{
    m_WriteQueue.m_Stop();
    m_DeferredQueue.m_Stop();
}

void CJnDevice::m_DataForPendingReadArrived(CJnDataBuffer* buffer)
{
    bool tracing = CJnIrpQueue::sm_Tracing(CJnReadQueue::kTraceChannel);
    LARGE_INTEGER start = {};
    if (tracing) start = KeQueryPerformanceCounter(nullptr);
    // The read queue may use up and delete the buffer at once.
    ULONG length = buffer ? buffer->m_GetLength() : 0;
    m_ReadQueue.m_DataForPendingIrpArrived(buffer);
    if (length) m_WriteQueue.m_XoffCounterReceived(length);
    if (tracing)
        JnTrace(CJnReadQueue::kTraceChannel, "CJnDevice::m_DataForPendingReadArrived TD=%dys",
                CJnIrpQueue::sm_MicrosecondsSince(start));
}

JnDeviceExtension* JnDeviceExtension::sm_Initialize(PDEVICE_OBJECT deviceObject, CJnDevice* device)
{
    auto* extension = new (deviceObject->DeviceExtension) JnDeviceExtension();
    extension->pDevice = device;
    extension->RoutingLock.m_Initialize(TRUE);
    return extension;
}
