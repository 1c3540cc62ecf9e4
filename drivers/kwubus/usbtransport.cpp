#include "usbtransport.h"

#include "jndebugmanager.h"
#include "kwubustrace.h"

CUSBTransport::CUSBTransport(CKwUsbBusDevice* pBusDevice, ULONG ulReadPipe, ULONG ulWritePipe, USHORT usChannelIndex)
    : m_pBusDevice(pBusDevice), m_pUsbDevice(nullptr), m_pOwner(nullptr), m_ReadHandler(nullptr),
      m_ulReadPipe(ulReadPipe), m_ulWritePipe(ulWritePipe), m_usChannelIndex(usChannelIndex), m_lLastSendStatus(USBD_STATUS_SUCCESS)
{
    m_RunLock.m_Initialize(FALSE);
    KeInitializeMutex(&m_TransmitMutex, 0);
}

CUSBTransport::~CUSBTransport() { m_DeInit(); }

BOOLEAN CUSBTransport::m_Init()
{
    JnTrace(KW_UBUS_TRACE, "CUSBTransport::m_Init - IN - Channel %d", m_usChannelIndex);
    if (m_pUsbDevice) return FALSE;
    CUsbDevice* device = new CUsbDevice();
    if (!device) return FALSE;
    PDEVICE_OBJECT pdo = m_pBusDevice ? m_pBusDevice->m_GetPhysicalDeviceObject() : nullptr;
    if (!pdo) {
        delete device;
        JnTrace(KW_UBUS_TRACE, "CUSBTransport::m_Init - OUT - Fail-> no physical device object.");
        return FALSE;
    }
    if (!device->m_Initialize(pdo, pdo) || !device->m_RegisterReadCallback(sm_ReadInterruptPipeCallback, this)) {
        delete device;
        JnTrace(KW_UBUS_TRACE, "CUSBTransport::m_Init - OUT - Fail-> the USB device could not be brought up.");
        return FALSE;
    }
    m_pUsbDevice = device;
    m_RunLock.m_Initialize(TRUE);
    JnTrace(KW_UBUS_TRACE, "CUSBTransport::m_Init - OUT (Success)");
    return TRUE;
}

BOOLEAN CUSBTransport::m_DeInit()
{
    if (!m_pUsbDevice) return TRUE;
    // Whoever is inside the device leaves first; nobody gets in again.
    m_RunLock.m_DisableAndWait();
    CUsbDevice* device = m_pUsbDevice;
    m_pUsbDevice = nullptr;
    delete device;
    return TRUE;
}

CUsbDevice* CUSBTransport::m_Use()
{
    if (!m_RunLock.m_Acquire()) return nullptr;
    if (!m_pUsbDevice) {
        m_RunLock.m_Release();
        return nullptr;
    }
    return m_pUsbDevice;
}

void CUSBTransport::m_SetOwner(PVOID pOwner, KwTransportReadHandler handler)
{
    m_pOwner = pOwner;
    m_ReadHandler = handler;
}

void CUSBTransport::sm_ReadInterruptPipeCallback(PVOID context, PUCHAR data, ULONG length)
{
    CUSBTransport* self = static_cast<CUSBTransport*>(context);
    // A transfer without both status bytes carries nothing the engine can use.
    if (length < 2 || !self->m_ReadHandler) return;
    CJnDataBuffer* buffer = CJnDataBuffer::sm_CreateCopy(data, length);
    if (!buffer) {
        JnTrace(KW_UBUS_TRACE, "CUSBTransport::m_ReadInterruptPipeCallback - no memory for %d bytes", length);
        return;
    }
    self->m_ReadHandler(self->m_pOwner, buffer);
}

BOOLEAN CUSBTransport::m_Connect()
{
    return m_WithDevice(FALSE, [](CUsbDevice* d) { return d->m_AllocateSpareBulkRequest(); });
}

BOOLEAN CUSBTransport::m_Disconnect()
{
    return m_WithDevice(FALSE, [](CUsbDevice* d) {
        LONG state = d->m_GetReadState();
        if (state == CUsbTransport::kStarted || state == CUsbTransport::kDisabled) d->m_StopRead();
        d->m_ClearStatistics();
        d->m_FreeSpareBulkRequest();
        return BOOLEAN(TRUE);
    });
}

BOOLEAN CUSBTransport::m_SendData(CJnDataBuffer* pBuffer, PULONG pulWritten, UCHAR ucPipe)
{
    *pulWritten = 0;
    CUsbDevice* device = m_Use();
    if (!device) return FALSE;
    ULONG handle = ucPipe == KW_TRANSPORT_WRITE_PIPE ? m_ulWritePipe : ucPipe;
    // Transfers go out one at a time. At DISPATCH_LEVEL nobody may wait for the mutex;
    // the library then sends a copy from passive level, in turn with the others.
    BOOLEAN waited = KeGetCurrentIrql() < DISPATCH_LEVEL;
    if (waited) KeWaitForMutexObject(&m_TransmitMutex, Executive, KernelMode, FALSE, nullptr);
    BOOLEAN ok = device->m_SendData(handle, pBuffer->m_GetData(), pBuffer->m_GetLength(), pulWritten);
    m_lLastSendStatus = device->m_GetLastSendStatus();
    if (waited) KeReleaseMutex(&m_TransmitMutex, FALSE);
    m_Done();
    return ok;
}

BOOLEAN CUSBTransport::m_SetInterruptPipeBufferSize(ULONG ulSize)
{
    if (ulSize == 0) return FALSE;
    return m_WithDevice(FALSE, [ulSize](CUsbDevice* d) {
        d->m_SetReadSize(ulSize);
        return BOOLEAN(TRUE);
    });
}

ULONG CUSBTransport::m_GetInterruptPipeBufferSize()
{
    return m_WithDevice(0UL, [](CUsbDevice* d) { return d->m_GetInterruptUrbSize(); });
}

BOOLEAN CUSBTransport::m_StartRead(ULONG ulSize)
{
    return m_WithDevice(FALSE, [this, ulSize](CUsbDevice* d) { return d->m_StartRead(m_ulReadPipe, ulSize); });
}

BOOLEAN CUSBTransport::m_StopRead()
{
    return m_WithDevice(FALSE, [](CUsbDevice* d) { return d->m_StopRead(); });
}

BOOLEAN CUSBTransport::m_EnableRead()
{
    return m_WithDevice(FALSE, [](CUsbDevice* d) { return d->m_EnableRead(); });
}

BOOLEAN CUSBTransport::m_DisableRead()
{
    return m_WithDevice(FALSE, [](CUsbDevice* d) { return d->m_DisableRead(); });
}

LONG CUSBTransport::m_GetReadState()
{
    return m_WithDevice(LONG(CUsbTransport::kUninitialised), [](CUsbDevice* d) { return d->m_GetReadState(); });
}

BOOLEAN CUSBTransport::m_AllocateSpareBulkRequest() { return m_Connect(); }

void CUSBTransport::m_FreeSpareBulkRequest()
{
    m_WithDevice(FALSE, [](CUsbDevice* d) {
        d->m_FreeSpareBulkRequest();
        return BOOLEAN(TRUE);
    });
}

BOOLEAN CUSBTransport::m_VendorRequestIN(UCHAR ucRequest, PUCHAR pucBuffer, ULONG ulLength)
{
    return m_WithDevice(FALSE, [=](CUsbDevice* d) {
        return d->m_VendorInterfaceRequestIN(ucRequest, 0, m_usChannelIndex, pucBuffer, ulLength);
    });
}

BOOLEAN CUSBTransport::m_WriteSettings(UCHAR ucRequest, USHORT usValue, USHORT usIndex)
{
    return m_WithDevice(FALSE, [=](CUsbDevice* d) {
        return d->m_VendorInterfaceRequestOUT(ucRequest, usValue, usIndex, nullptr, 0);
    });
}

ULONG CUSBTransport::m_GetReadInterval()
{
    return m_WithDevice(0UL, [](CUsbDevice* d) { return d->m_GetReadInterval(); });
}

ULONG CUSBTransport::m_GetReadCallbackDuration()
{
    return m_WithDevice(0UL, [](CUsbDevice* d) { return d->m_GetReadCallbackDuration(); });
}
