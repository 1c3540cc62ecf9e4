// The port driver's side of ISerial.
//
// ISerialCallback is what the bus driver's callbacks reach: the port object derives from it
// (as its second base) and overrides every entry. It also holds what the port needs to talk
// to the bus: the framework device, the port number and the callback holder.
//
// CVcpBusInterface, the callback holder, keeps the record the bus driver lent the port and
// the nine forwarding routines it copies into the record's callback table. Operations are
// called through m_Call, which treats a missing record, a missing provider and a missing
// operation as a failed call: the bus leaves the operations it does not offer null.
#pragma once

#include "jndatabuffer.h"
#include "jnmemorypool.h"
#include "kwiserial.h"

class CJnDevice;
class CVcpBusInterface;

class ISerialCallback {
public:
    ISerialCallback() : m_pDevice(nullptr), m_ulPortNumber(0), m_pSerialInterface(nullptr) {}
    virtual ~ISerialCallback() {}

    // Callbacks 0..8 of the record, in table order. The received buffer belongs to the
    // callee from the call on.
    virtual BOOLEAN m_Read(CJnDataBuffer* pBuffer);
    virtual BOOLEAN m_ReservedCallback() { return FALSE; }
    virtual BOOLEAN m_LineStatusCallback(BOOLEAN bOverrunError, BOOLEAN bParityError, BOOLEAN bFramingError,
                                         BOOLEAN bBreak, BOOLEAN bDataReady, BOOLEAN bTransmitterHoldingRegisterEmpty,
                                         BOOLEAN bTransmitterEmpty, BOOLEAN bReceiveFifoError)
    {
        return FALSE;
    }
    virtual BOOLEAN m_ModemStatusCallback(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge,
                                          BOOLEAN bDcd)
    {
        return FALSE;
    }
    virtual BOOLEAN m_DataWrittenCallback(ULONG ulBytesWritten) { return FALSE; }
    virtual BOOLEAN m_ImmediateCharacterSentCallback() { return FALSE; }
    virtual BOOLEAN m_XoffHoldingCallback(BOOLEAN bHolding) { return FALSE; }
    virtual BOOLEAN m_XoffSentCallback(BOOLEAN bXoffSent) { return FALSE; }
    // May be called at DISPATCH_LEVEL.
    virtual BOOLEAN m_AvailableReceiveBufferSizeCallback(ULONG ulBytesToDeliver, ULONG ulReserve,
                                                         PULONG pulFreeSpace)
    {
        return FALSE;
    }
    // The read queue's amount of buffered data changed.
    virtual void m_DataAmountChangedInReadQueue(ULONG ulNewAmount, ULONG ulOldAmount) {}

    CJnDevice* m_pDevice;                   // the framework device the port runs on
    ULONG m_ulPortNumber;                   // 1-based channel of the child device below
    CVcpBusInterface* m_pSerialInterface;   // the callback holder, while the port has a record
};

class CVcpBusInterface : public CJnObject {
public:
    CVcpBusInterface() : m_pISerial(nullptr) {}
    virtual ~CVcpBusInterface() {}

    // Keeps the record and points its callbacks at `callback`.
    void m_Attach(ISerial* pISerial, ISerialCallback* callback);
    ISerial* m_GetInterface() const { return m_pISerial; }

    // Calls an operation of the record: FALSE when it is not there.
    template <typename Operation, typename... Args>
    BOOLEAN m_Call(Operation ISerial::*operation, Args... args) const
    {
        ISerial* record = m_pISerial;
        if (!record || !record->pImplementation || !(record->*operation)) return FALSE;
        return (record->*operation)(record->pImplementation, args...);
    }

    // Operation 2: the buffer is the bus's from the call on; one that cannot be handed
    // over is deleted here, so it leaves the caller in every case.
    BOOLEAN m_PortWrite(CJnDataBuffer* pBuffer) const;

private:
    static BOOLEAN sm_DataReceived(PVOID context, CJnDataBuffer* pBuffer);
    static BOOLEAN sm_Reserved(PVOID context);
    static BOOLEAN sm_LineStatus(PVOID context, BOOLEAN bOverrunError, BOOLEAN bParityError, BOOLEAN bFramingError,
                                 BOOLEAN bBreak, BOOLEAN bDataReady, BOOLEAN bTransmitterHoldingRegisterEmpty,
                                 BOOLEAN bTransmitterEmpty, BOOLEAN bReceiveFifoError);
    static BOOLEAN sm_ModemStatus(PVOID context, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge,
                                  BOOLEAN bDcd);
    static BOOLEAN sm_DataWritten(PVOID context, ULONG ulBytesWritten);
    static BOOLEAN sm_ImmediateCharacterSent(PVOID context);
    static BOOLEAN sm_XoffHolding(PVOID context, BOOLEAN bHolding);
    static BOOLEAN sm_XoffSent(PVOID context, BOOLEAN bXoffSent);
    static BOOLEAN sm_AvailableReceiveBufferSize(PVOID context, ULONG ulBytesToDeliver, ULONG ulReserve,
                                                 PULONG pulFreeSpace);

    ISerial* m_pISerial;
};
