// The transmit side of the port object: writes handed to the bus, the Xoff counter's
// character, and the bus's reports of bytes written and Xoff sent.
#include "vcp.h"
#include "jndebugmanager.h"

void CVCP::m_AddPending(ULONG ulBytes) { InterlockedExchangeAdd(&m_ulPendingTransmitCount, (LONG)ulBytes); }

void CVCP::m_TakePending(ULONG ulBytes)
{
    for (;;) {
        LONG old = InterlockedCompareExchange(&m_ulPendingTransmitCount, 0, 0);
        LONG now = (ULONG)old > ulBytes ? (LONG)((ULONG)old - ulBytes) : 0;
        if (InterlockedCompareExchange(&m_ulPendingTransmitCount, now, old) == old) return;
    }
}

BOOLEAN CVCP::m_Write(CJnDataBuffer* pBuffer)
{
    ULONG length = pBuffer ? pBuffer->m_GetLength() : 0;
    JnTrace(kTraceChannel, "CVCP::m_Write - IN - Length:%d", length);
    if (!pBuffer) return FALSE;
    if (length)
        if (CJnDebugManager* debug = CJnDebugManager::sm_Get())
            debug->m_HexDump(kTraceChannel, "Write", pBuffer->m_GetData(), length);
    // The buffer is ours from the call on: what does not go to the bus ends here.
    if (!length) {
        JnTrace(kTraceChannel, "CVCP::m_Write - OUT - Fail-> Write length is 0.");
        pBuffer->m_Delete();
        return FALSE;
    }
    if (!m_Serial("m_Write")) {
        pBuffer->m_Delete();
        return FALSE;
    }
    // Counted before the call: the bus may report the bytes written before it returns.
    m_AddPending(length);
    if (!m_pSerialInterface->m_PortWrite(pBuffer)) {
        // Refused: the bytes never go out, and the write queue fails the writes they were of.
        m_TakePending(length);
        JnTrace(kTraceChannel, "CVCP::m_Write - OUT - Fail-> the bus refused the data.");
        return FALSE;
    }
    JnTrace(kTraceChannel, "CVCP::m_Write - OUT (Success)");
    return TRUE;
}

BOOLEAN CVCP::m_SendSerialXoffCounterChar(UCHAR ucXoffChar)
{
    if (!m_Serial("m_SendSerialXoffCounterChar")) return FALSE;
    CJnDataBuffer* buffer = CJnDataBuffer::sm_CreateCopy(&ucXoffChar, 1);
    if (!buffer) {
        JnTrace(kTraceChannel, "CVcp::m_SendSerialXoffCounterChar - OUT - Fail-> pucBuffer is NULL.");
        return FALSE;
    }
    m_AddPending(1);
    sm_Exchange(m_bWaitForImmediate, 1);
    if (!m_pSerialInterface->m_PortWrite(buffer)) {
        m_TakePending(1);
        sm_Exchange(m_bWaitForImmediate, 0);
        JnTrace(kTraceChannel, "CVcp::m_SendSerialXoffCounterChar - OUT (Write Failed)");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CVCP::m_DataWrittenCallback(ULONG ulBytesWritten)
{
    // More than was pending is credit only (the bus grants its transmit size at connect).
    for (;;) {
        LONG old = InterlockedCompareExchange(&m_ulPendingTransmitCount, 0, 0);
        bool counted = ulBytesWritten <= (ULONG)old;
        LONG now = counted ? (LONG)((ULONG)old - ulBytesWritten) : 0;
        if (InterlockedCompareExchange(&m_ulPendingTransmitCount, now, old) != old) continue;
        if (counted) InterlockedExchangeAdd(&m_TransmittedCount, (LONG)ulBytesWritten);
        break;
    }
    CJnWriteQueue& writes = m_pDevice->m_WriteQueue;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && !writes.m_GetQueuedBytes() && !sm_Read(m_ulPendingTransmitCount)) {
        m_SetCommEventsReceived(SERIAL_EV_TXEMPTY);
        m_ResolveCurrentEventMask();
    }
    // The immediate character is not the write queue's.
    ULONG forWrites = ulBytesWritten;
    if (sm_Exchange(m_bWaitForImmediate, 0) && forWrites) forWrites--;
    if (forWrites) writes.m_DataWritten(forWrites);
    return TRUE;
}

BOOLEAN CVCP::m_ImmediateCharacterSentCallback()
{
    JnTrace(kTraceChannel, "CVCP::m_ImmediateCharacterSentCallback - IN-OUT");
    return TRUE;
}

BOOLEAN CVCP::m_XoffHoldingCallback(BOOLEAN bHolding)
{
    m_SetHold(kXoffSentHold, bHolding != 0);
    return TRUE;
}

BOOLEAN CVCP::m_XoffSentCallback(BOOLEAN bXoffSent)
{
    if (bXoffSent) m_SetHold(kXonHold, !(m_FlowReplace() & SERIAL_XOFF_CONTINUE));
    return TRUE;
}
