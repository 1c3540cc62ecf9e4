#include "vcpbusinterface.h"

namespace {
ISerialCallback* From(PVOID context) { return static_cast<ISerialCallback*>(context); }
}  // namespace

BOOLEAN ISerialCallback::m_Read(CJnDataBuffer* pBuffer)
{
    // Nobody takes the data: the buffer is ours all the same.
    if (pBuffer) pBuffer->m_Delete();
    return FALSE;
}

void CVcpBusInterface::m_Attach(ISerial* pISerial, ISerialCallback* callback)
{
    m_pISerial = pISerial;
    pISerial->m_DataReceivedCallback = sm_DataReceived;
    pISerial->m_ReservedCallback = sm_Reserved;
    pISerial->m_LineStatusCallback = sm_LineStatus;
    pISerial->m_ModemStatusCallback = sm_ModemStatus;
    pISerial->m_DataWrittenCallback = sm_DataWritten;
    pISerial->m_ImmediateCharacterSentCallback = sm_ImmediateCharacterSent;
    pISerial->m_XoffHoldingCallback = sm_XoffHolding;
    pISerial->m_XoffSentCallback = sm_XoffSent;
    pISerial->m_AvailableReceiveBufferSizeCallback = sm_AvailableReceiveBufferSize;
    // Last: the bus makes no callback while the context is null.
    pISerial->pCallbackContext = callback;
}

BOOLEAN CVcpBusInterface::m_PortWrite(CJnDataBuffer* pBuffer) const
{
    ISerial* record = m_pISerial;
    if (record && record->pImplementation && record->m_PortWriteCallback)
        return record->m_PortWriteCallback(record->pImplementation, pBuffer);
    pBuffer->m_Delete();
    return FALSE;
}

BOOLEAN CVcpBusInterface::sm_DataReceived(PVOID context, CJnDataBuffer* pBuffer)
{
    if (context) return From(context)->m_Read(pBuffer);
    // The bus hands the buffer over with the call, whoever answers it.
    if (pBuffer) pBuffer->m_Delete();
    return FALSE;
}

BOOLEAN CVcpBusInterface::sm_Reserved(PVOID context) { return context ? From(context)->m_ReservedCallback() : FALSE; }

BOOLEAN CVcpBusInterface::sm_LineStatus(PVOID context, BOOLEAN bOverrunError, BOOLEAN bParityError,
                                        BOOLEAN bFramingError, BOOLEAN bBreak, BOOLEAN bDataReady,
                                        BOOLEAN bTransmitterHoldingRegisterEmpty, BOOLEAN bTransmitterEmpty,
                                        BOOLEAN bReceiveFifoError)
{
    if (!context) return FALSE;
    return From(context)->m_LineStatusCallback(bOverrunError, bParityError, bFramingError, bBreak, bDataReady,
                                               bTransmitterHoldingRegisterEmpty, bTransmitterEmpty,
                                               bReceiveFifoError);
}

BOOLEAN CVcpBusInterface::sm_ModemStatus(PVOID context, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi,
                                         BOOLEAN bRiTrailingEdge, BOOLEAN bDcd)
{
    return context ? From(context)->m_ModemStatusCallback(bCts, bDsr, bRi, bRiTrailingEdge, bDcd) : FALSE;
}

BOOLEAN CVcpBusInterface::sm_DataWritten(PVOID context, ULONG ulBytesWritten)
{
    return context ? From(context)->m_DataWrittenCallback(ulBytesWritten) : FALSE;
}

BOOLEAN CVcpBusInterface::sm_ImmediateCharacterSent(PVOID context)
{
    return context ? From(context)->m_ImmediateCharacterSentCallback() : FALSE;
}

BOOLEAN CVcpBusInterface::sm_XoffHolding(PVOID context, BOOLEAN bHolding)
{
    return context ? From(context)->m_XoffHoldingCallback(bHolding) : FALSE;
}

BOOLEAN CVcpBusInterface::sm_XoffSent(PVOID context, BOOLEAN bXoffSent)
{
    return context ? From(context)->m_XoffSentCallback(bXoffSent) : FALSE;
}

BOOLEAN CVcpBusInterface::sm_AvailableReceiveBufferSize(PVOID context, ULONG ulBytesToDeliver, ULONG ulReserve,
                                                        PULONG pulFreeSpace)
{
    if (!context) return FALSE;
    return From(context)->m_AvailableReceiveBufferSizeCallback(ulBytesToDeliver, ulReserve, pulFreeSpace);
}
