// CUSBTransport: a channel engine's way to its USB interface, over the framework's USB
// library. Reads run continuously on EndPointHandle 1 (bulk-in); writes go out on
// EndPointHandle 2 (bulk-out), one transfer at a time under the transmit mutex; vendor
// requests address the chip channel.
#pragma once

#include "jndatabuffer.h"
#include "jnremovelock.h"
#include "kwubusdevice.h"
#include "kwusb.h"

// The owner's handler of a completed read: a new buffer with the transfer (at least 2
// bytes), whose ownership passes. Called at up to DISPATCH_LEVEL; it must not block.
typedef BOOLEAN (*KwTransportReadHandler)(PVOID pOwner, CJnDataBuffer* pBuffer);

#define KW_TRANSPORT_WRITE_PIPE 0xFF  // the pipe selector of the transport's write pipe

class CTransportBase : public CJnObject {
public:
    virtual ~CTransportBase() {}
    virtual BOOLEAN m_Init() = 0;
    virtual BOOLEAN m_DeInit() = 0;
    virtual BOOLEAN m_Connect() = 0;
    virtual BOOLEAN m_Disconnect() = 0;
    // Sends the whole buffer (which stays the caller's) on the pipe the selector names;
    // TRUE only when every byte was written.
    virtual BOOLEAN m_SendData(CJnDataBuffer* pBuffer, PULONG pulWritten, UCHAR ucPipe) = 0;
};

class CUSBTransport : public CTransportBase {
public:
    CUSBTransport(CKwUsbBusDevice* pBusDevice, ULONG ulReadPipe, ULONG ulWritePipe, USHORT usChannelIndex);
    ~CUSBTransport() override;

    BOOLEAN m_Init() override;
    BOOLEAN m_DeInit() override;
    BOOLEAN m_Connect() override;
    BOOLEAN m_Disconnect() override;
    BOOLEAN m_SendData(CJnDataBuffer* pBuffer, PULONG pulWritten, UCHAR ucPipe) override;

    void m_SetOwner(PVOID pOwner, KwTransportReadHandler handler);
    // The size of the next reads; FALSE for 0.
    BOOLEAN m_SetInterruptPipeBufferSize(ULONG ulSize);
    ULONG m_GetInterruptPipeBufferSize();
    BOOLEAN m_StartRead(ULONG ulSize);
    BOOLEAN m_StopRead();
    BOOLEAN m_EnableRead();
    BOOLEAN m_DisableRead();
    LONG m_GetReadState();
    BOOLEAN m_AllocateSpareBulkRequest();
    void m_FreeSpareBulkRequest();
    // Vendor request IN with wValue 0 and the channel index as wIndex.
    BOOLEAN m_VendorRequestIN(UCHAR ucRequest, PUCHAR pucBuffer, ULONG ulLength);
    // Vendor request OUT without data.
    BOOLEAN m_WriteSettings(UCHAR ucRequest, USHORT usValue, USHORT usIndex);

    // The USB status of the last bulk-out.
    USBD_STATUS m_GetLastSendStatus() const { return m_lLastSendStatus; }
    ULONG m_GetReadInterval();
    ULONG m_GetReadCallbackDuration();

private:
    static void sm_ReadInterruptPipeCallback(PVOID context, PUCHAR data, ULONG length);
    // The USB device with its run lock held, or null (then nothing is released).
    CUsbDevice* m_Use();
    void m_Done() { m_RunLock.m_Release(); }
    // Runs call(device) under the run lock; `fallback` when the device is gone.
    template <typename Result, typename Call>
    Result m_WithDevice(Result fallback, Call call)
    {
        CUsbDevice* device = m_Use();
        if (!device) return fallback;
        Result result = call(device);
        m_Done();
        return result;
    }

    CKwUsbBusDevice* m_pBusDevice;
    CUsbDevice* m_pUsbDevice;
    CJnRemoveLock m_RunLock;
    PVOID m_pOwner;
    KwTransportReadHandler m_ReadHandler;
    ULONG m_ulReadPipe;
    ULONG m_ulWritePipe;
    USHORT m_usChannelIndex;
    KMUTEX m_TransmitMutex;
    volatile USBD_STATUS m_lLastSendStatus;
};
