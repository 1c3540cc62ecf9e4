#include "kwiserial.h"

#include "jndatabuffer.h"

namespace {

// Programming errors are reported and the caller carries on with the safe result.
void ReportAssertion(int line) { DbgPrint("ASSERT at - %s %d\n", "kwiserial.cpp", line); }

}  // namespace

CISerialProvider::~CISerialProvider()
{
    delete m_pPortProvider;
    m_pPortProvider = nullptr;
}

template <typename Operation>
void CISerialProvider::sm_SetGatedOperation(BOOLEAN bGate, Operation& slot, Operation entry)
{
    if (bGate != 1) {
        ReportAssertion(__LINE__);
        return;
    }
    slot = entry;
}

ISerial* CISerialProvider::m_CreateInterface(ULONG ulInterfaceVersion, BOOLEAN bIs422485, LONG lSupportedBaudRates,
                                             BOOLEAN bExtendedCharacterProcessing, BOOLEAN bReadEepromSupported,
                                             BOOLEAN bWriteEepromSupported, BOOLEAN bCtsSupported,
                                             BOOLEAN bRtsSupported, BOOLEAN bDtrSupported, BOOLEAN bDsrSupported,
                                             BOOLEAN bDcdSupported, BOOLEAN bRiSupported)
{
    if (m_pPortProvider) {
        ReportAssertion(__LINE__);
        return nullptr;
    }
    if (ulInterfaceVersion != KWISERIAL_INTERFACE_VERSION) return nullptr;

    ISerial* record = new ISerial();
    if (!record) return nullptr;
    m_pPortProvider = record;

    record->pImplementation = this;
    record->bIs422485 = bIs422485;
    record->lSupportedBaudRates = lSupportedBaudRates;
    record->bExtendedCharacterProcessing = bExtendedCharacterProcessing;
    record->bReadEepromSupported = bReadEepromSupported;
    record->bWriteEepromSupported = bWriteEepromSupported;
    record->bCtsSupported = bCtsSupported;
    record->bRtsSupported = bRtsSupported;
    record->bDsrSupported = bDsrSupported;
    record->bDtrSupported = bDtrSupported;
    record->bDcdSupported = bDcdSupported;
    record->bRiSupported = bRiSupported;

    record->m_ConnectCallback = sm_ConnectCallback;
    record->m_DisconnectCallback = sm_DisconnectCallback;
    record->m_PortWriteCallback = sm_PortWriteCallback;
    record->m_RtsCallback = sm_RtsCallback;
    record->m_DtrCallback = sm_DtrCallback;
    record->m_CommSettingsCallback = sm_CommSettingsCallback;
    record->m_BaudrateCallback = sm_BaudrateCallback;
    record->m_TriggerLevelsCallback = sm_TriggerLevelsCallback;
    record->m_HandshakingSettingsCallback = sm_HandshakingSettingsCallback;
    record->m_InternalLoopbackCallback = sm_InternalLoopbackCallback;
    if (record->bIs422485 == 1)
        sm_SetGatedOperation(record->bIs422485, record->m_DuplexModeSettingsCallback, &sm_DuplexModeSettingsCallback);
    if (record->bReadEepromSupported == 1)
        sm_SetGatedOperation(record->bReadEepromSupported, record->m_ReadEepromCallback, &sm_ReadEepromCallback);
    if (record->bWriteEepromSupported == 1)
        sm_SetGatedOperation(record->bWriteEepromSupported, record->m_WriteEepromCallback, &sm_WriteEepromCallback);
    record->m_SetBreakCallback = sm_SetBreakCallback;
    record->m_PurgeCallback = sm_PurgeCallback;
    record->m_IsBaudRateSettableCallback = sm_IsBaudRateSettableCallback;
    record->m_SetSpecialCharactersCallback = sm_SetSpecialCharactersCallback;
    // This gate is tested for non-zero, the setter for 1: a value other than 0 and 1
    // reports an assertion and leaves the operation out.
    if (record->bExtendedCharacterProcessing)
        sm_SetGatedOperation(record->bExtendedCharacterProcessing, record->m_LsrMstInsertCallback,
                             &sm_LsrMstInsertCallback);
    record->m_PretendXoffReceivedCallback = sm_PretendXoffReceivedCallback;
    record->m_SendImmediateCharacterCallback = sm_SendImmediateCharacterCallback;
    record->m_GetFifoSizesCallback = sm_GetFifoSizesCallback;
    record->m_UpdateModemStatusCallback = sm_UpdateModemStatusCallback;
    record->m_SendXonXoffCallback = sm_SendXonXoffCallback;
    record->m_GetMaximumBaudRateCallback = sm_GetMaximumBaudRateCallback;
    return record;
}

BOOLEAN CISerialProvider::m_PortWriteCallback(CJnDataBuffer* pBuffer)
{
    if (pBuffer) pBuffer->m_Delete();
    return FALSE;
}

// ---- callbacks ----

BOOLEAN CISerialProvider::m_CallDataReceived(CJnDataBuffer* pBuffer)
{
    ISerial* r = m_pPortProvider;
    if (!r || !r->pCallbackContext || !r->m_DataReceivedCallback) {
        if (pBuffer) pBuffer->m_Delete();
        return FALSE;
    }
    return r->m_DataReceivedCallback(r->pCallbackContext, pBuffer);
}

BOOLEAN CISerialProvider::m_CallLineStatus(BOOLEAN bOverrunError, BOOLEAN bParityError, BOOLEAN bFramingError,
                                           BOOLEAN bBreak, BOOLEAN bDataReady,
                                           BOOLEAN bTransmitterHoldingRegisterEmpty, BOOLEAN bTransmitterEmpty,
                                           BOOLEAN bReceiveFifoError)
{
    ISerial* r = m_pPortProvider;
    if (!r || !r->pCallbackContext || !r->m_LineStatusCallback) return FALSE;
    return r->m_LineStatusCallback(r->pCallbackContext, bOverrunError, bParityError, bFramingError, bBreak, bDataReady,
                                   bTransmitterHoldingRegisterEmpty, bTransmitterEmpty, bReceiveFifoError);
}

BOOLEAN CISerialProvider::m_CallModemStatus(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge,
                                            BOOLEAN bDcd)
{
    ISerial* r = m_pPortProvider;
    if (!r || !r->pCallbackContext || !r->m_ModemStatusCallback) return FALSE;
    return r->m_ModemStatusCallback(r->pCallbackContext, bCts, bDsr, bRi, bRiTrailingEdge, bDcd);
}

BOOLEAN CISerialProvider::m_CallDataWritten(ULONG ulBytesWritten)
{
    ISerial* r = m_pPortProvider;
    if (!r || !r->pCallbackContext || !r->m_DataWrittenCallback) return FALSE;
    return r->m_DataWrittenCallback(r->pCallbackContext, ulBytesWritten);
}

BOOLEAN CISerialProvider::m_CallImmediateCharacterSent()
{
    ISerial* r = m_pPortProvider;
    if (!r || !r->pCallbackContext || !r->m_ImmediateCharacterSentCallback) return FALSE;
    return r->m_ImmediateCharacterSentCallback(r->pCallbackContext);
}

BOOLEAN CISerialProvider::m_CallXoffSent(BOOLEAN bXoffSent)
{
    ISerial* r = m_pPortProvider;
    if (!r || !r->pCallbackContext || !r->m_XoffSentCallback) return FALSE;
    return r->m_XoffSentCallback(r->pCallbackContext, bXoffSent);
}

BOOLEAN CISerialProvider::m_CallAvailableReceiveBufferSize(ULONG ulBytesToDeliver, ULONG ulReserve,
                                                           PULONG pulFreeSpace)
{
    ISerial* r = m_pPortProvider;
    if (!r || !r->pCallbackContext || !r->m_AvailableReceiveBufferSizeCallback) return FALSE;
    return r->m_AvailableReceiveBufferSizeCallback(r->pCallbackContext, ulBytesToDeliver, ulReserve, pulFreeSpace);
}

// ---- operation entry points: the record's pointers, one per operation ----

BOOLEAN CISerialProvider::sm_ConnectCallback(CISerialProvider* p) { return p->m_ConnectCallback(); }

BOOLEAN CISerialProvider::sm_DisconnectCallback(CISerialProvider* p) { return p->m_DisconnectCallback(); }

BOOLEAN CISerialProvider::sm_PortWriteCallback(CISerialProvider* p, CJnDataBuffer* pBuffer)
{
    return p->m_PortWriteCallback(pBuffer);
}

BOOLEAN CISerialProvider::sm_RtsCallback(CISerialProvider* p, BOOLEAN bOn) { return p->m_RtsCallback(bOn); }

BOOLEAN CISerialProvider::sm_DtrCallback(CISerialProvider* p, BOOLEAN bOn) { return p->m_DtrCallback(bOn); }

BOOLEAN CISerialProvider::sm_CommSettingsCallback(CISerialProvider* p, ULONG ulDataBits, ULONG ulParity,
                                                  ULONG ulStopBits)
{
    return p->m_CommSettingsCallback(ulDataBits, ulParity, ulStopBits);
}

BOOLEAN CISerialProvider::sm_BaudrateCallback(CISerialProvider* p, ULONG ulBaudRate)
{
    return p->m_BaudrateCallback(ulBaudRate);
}

BOOLEAN CISerialProvider::sm_TriggerLevelsCallback(CISerialProvider* p, UCHAR ucTx, UCHAR ucRx, UCHAR ucRxFlow)
{
    return p->m_TriggerLevelsCallback(ucTx, ucRx, ucRxFlow);
}

BOOLEAN CISerialProvider::sm_HandshakingSettingsCallback(CISerialProvider* p, BOOLEAN b0, BOOLEAN b1, BOOLEAN b2,
                                                         BOOLEAN b3, BOOLEAN b4, BOOLEAN b5, BOOLEAN b6, BOOLEAN b7,
                                                         BOOLEAN b8, BOOLEAN b9, BOOLEAN b10, BOOLEAN b11)
{
    return p->m_HandshakingSettingsCallback(b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11);
}

BOOLEAN CISerialProvider::sm_InternalLoopbackCallback(CISerialProvider* p, BOOLEAN bOn)
{
    return p->m_InternalLoopbackCallback(bOn);
}

BOOLEAN CISerialProvider::sm_DuplexModeSettingsCallback(CISerialProvider* p, ULONG ulDuplexMode, BOOLEAN bCtsTrue)
{
    return p->m_DuplexModeSettingsCallback(ulDuplexMode, bCtsTrue);
}

BOOLEAN CISerialProvider::sm_ReadEepromCallback(CISerialProvider* p, ULONG ulStartOffset, ULONG ulLength,
                                                PUCHAR pucBuffer)
{
    return p->m_ReadEepromCallback(ulStartOffset, ulLength, pucBuffer);
}

BOOLEAN CISerialProvider::sm_WriteEepromCallback(CISerialProvider* p, ULONG ulStartOffset, ULONG ulLength,
                                                 PUCHAR pucBuffer)
{
    return p->m_WriteEepromCallback(ulStartOffset, ulLength, pucBuffer);
}

BOOLEAN CISerialProvider::sm_SetBreakCallback(CISerialProvider* p, BOOLEAN bOn) { return p->m_SetBreakCallback(bOn); }

BOOLEAN CISerialProvider::sm_PurgeCallback(CISerialProvider* p, BOOLEAN bPurgeTransmit, BOOLEAN bPurgeReceive)
{
    return p->m_PurgeCallback(bPurgeTransmit, bPurgeReceive);
}

BOOLEAN CISerialProvider::sm_IsBaudRateSettableCallback(CISerialProvider* p, ULONG ulBaudRate)
{
    return p->m_IsBaudRateSettableCallback(ulBaudRate);
}

BOOLEAN CISerialProvider::sm_SetSpecialCharactersCallback(CISerialProvider* p, UCHAR ucBreakChar, UCHAR ucEofChar,
                                                          UCHAR ucErrorChar, UCHAR ucEventChar, UCHAR ucXonChar,
                                                          UCHAR ucXoffChar)
{
    return p->m_SetSpecialCharactersCallback(ucBreakChar, ucEofChar, ucErrorChar, ucEventChar, ucXonChar, ucXoffChar);
}

BOOLEAN CISerialProvider::sm_LsrMstInsertCallback(CISerialProvider* p, UCHAR ucEscapeChar)
{
    return p->m_LsrMstInsertCallback(ucEscapeChar);
}

BOOLEAN CISerialProvider::sm_PretendXoffReceivedCallback(CISerialProvider* p, BOOLEAN bXoff)
{
    return p->m_PretendXoffReceivedCallback(bXoff);
}

BOOLEAN CISerialProvider::sm_SendImmediateCharacterCallback(CISerialProvider* p, UCHAR ucChar)
{
    return p->m_SendImmediateCharacterCallback(ucChar);
}

BOOLEAN CISerialProvider::sm_GetFifoSizesCallback(CISerialProvider* p, PULONG pulTxFifoSize, PULONG pulRxFifoSize)
{
    return p->m_GetFifoSizesCallback(pulTxFifoSize, pulRxFifoSize);
}

BOOLEAN CISerialProvider::sm_UpdateModemStatusCallback(CISerialProvider* p) { return p->m_UpdateModemStatusCallback(); }

BOOLEAN CISerialProvider::sm_SendXonXoffCallback(CISerialProvider* p, BOOLEAN bSendXoff)
{
    return p->m_SendXonXoffCallback(bSendXoff);
}

BOOLEAN CISerialProvider::sm_GetMaximumBaudRateCallback(CISerialProvider* p, PULONG pulMaximumBaudRate)
{
    return p->m_GetMaximumBaudRateCallback(pulMaximumBaudRate);
}
