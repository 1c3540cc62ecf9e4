// CFTDI1Port: the settings operations, the latency policy step, and the save and restore
// around power changes. Each setting is stored only when the chip took it.
#include "ftdi1port.h"
#include "ftdilatency.h"
#include "jndebugmanager.h"
#include "kwubustrace.h"

namespace {

void Sleep(LONGLONG hundredNanoseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -hundredNanoseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

const LONGLONG kSecond = 10000000;

}  // namespace

BOOLEAN CFTDI1Port::m_SetModemLine(UCHAR ucLine, BOOLEAN bOn, const char* pszFailure)
{
    USHORT value = FtdiModemControlValue(ucLine == FTDI_MODEM_CTRL_DTR, bOn, ucLine == FTDI_MODEM_CTRL_RTS, bOn);
    if (!m_pUSBTransport->m_WriteSettings(FTDI_MODEM_CTRL, value, m_usChannelIndex)) {
        JnTrace(KW_UBUS_TRACE, "%s", pszFailure);
        return FALSE;
    }
    if (bOn)
        m_usModemControl |= ucLine;
    else
        m_usModemControl &= ~ucLine;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetDtr(BOOLEAN bOn)
{
    return m_SetModemLine(FTDI_MODEM_CTRL_DTR, bOn,
                          "CFTDI1Port::m_SetDtr - OUT - Fail-> Error writing to USB Transport (FTDI_MODEM_CTRL).");
}

BOOLEAN CFTDI1Port::m_SetRts(BOOLEAN bOn)
{
    return m_SetModemLine(FTDI_MODEM_CTRL_RTS, bOn,
                          "CFTDI1Port::m_SetRts - OUT - Fail-> Error writing to USB Transport (FTDI_MODEM_CTRL).");
}

BOOLEAN CFTDI1Port::m_SetLatencyTimer(ULONG ulLatency)
{
    if (!m_pUSBTransport->m_WriteSettings(FTDI_SET_LATENCY_TIMER, static_cast<USHORT>(ulLatency), m_usChannelIndex)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SetLatencyTimer - OUT - Fail-> Error writing to USB Transport "
                               "(FTDI_SET_LATENCY_TIMER).");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetErrorChar(UCHAR ucChar, BOOLEAN bEnabled)
{
    USHORT value = FtdiSpecialCharValue(ucChar, bEnabled);
    if (!m_pUSBTransport->m_WriteSettings(FTDI_SET_ERROR_CHAR, value, m_usChannelIndex)) return FALSE;
    m_usErrorCharSetting = value;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetEventChar(UCHAR ucChar, BOOLEAN bEnabled)
{
    USHORT value = FtdiSpecialCharValue(ucChar, bEnabled);
    if (!m_pUSBTransport->m_WriteSettings(FTDI_SET_EVENT_CHAR, value, m_usChannelIndex)) return FALSE;
    m_usEventCharSetting = value;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_GetLatencyTimerValue(PUCHAR pucLatency)
{
    if (!m_pUSBTransport || !pucLatency) return FALSE;
    UCHAR reply[2] = {0, 0};
    if (!m_pUSBTransport->m_VendorRequestIN(FTDI_READ_LATENCY_TIMER, reply, sizeof reply)) return FALSE;
    *pucLatency = reply[0];
    return TRUE;
}

BOOLEAN CFTDI1Port::m_BaudrateCallback(ULONG ulBaudRate)
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_BaudrateCallback - IN - %d", ulBaudRate);
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_BaudrateCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    if (ulBaudRate == m_ulBaudRate) return TRUE;
    FTDI_BAUD_DIVISOR divisor;
    if (!FtdiFindBaudDivisor(ulBaudRate, m_ulMaximumBaudRate, &divisor)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_BaudrateCallback - OUT - Fail-> %d is not a settable baud rate.", ulBaudRate);
        return FALSE;
    }
    JnTrace(KW_UBUS_TRACE, "Baud Calculation=>Best Difference: %d", divisor.ulBestDifference);
    JnTrace(KW_UBUS_TRACE, "Baud Calculation=>Divisor: 0x%X, Fraction:0x%X", divisor.usDivisor, divisor.usFraction);
    m_Hold(FALSE);
    if (!m_pUSBTransport->m_WriteSettings(FTDI_SET_BAUD_RATE, divisor.usDivisor,
                                          FtdiBaudRateIndex(divisor.usFraction, m_usChannelIndex, m_bCompositeDevice))) {
        JnTrace(KW_UBUS_TRACE,
                "CFTDI1Port::m_BaudrateCallback - OUT - Fail-> Error writing to USB Transport (FTDI_SET_BAUD_RATE).");
        m_ReevaluateHold();
        return FALSE;
    }
    m_ReevaluateHold();
    if (m_ucRxTriggerLevel == 1) {
        m_ulRxTransferSize = FTDI_PACKET_SIZE;
        m_pUSBTransport->m_SetInterruptPipeBufferSize(m_ulRxTransferSize);
        m_ulLatency = 16;
        if (!m_SetLatencyTimer(m_ulLatency)) {
            JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_BaudrateCallback - OUT (Error SetLatency.)");
            return FALSE;
        }
    } else {
        m_SetLatencyAndRxTransferSize(ulBaudRate);
    }
    m_usDivisor = divisor.usDivisor;
    m_usFraction = divisor.usFraction;
    m_TransmitLock.m_Acquire();
    m_ulBaudRate = ulBaudRate;
    m_TransmitLock.m_Release();
    m_RecomputeChunk();
    m_StopEmulationTimer(TRUE);
    m_StartEmulationTimerIfDue();
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_BaudrateCallback - OUT (Success)");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetLatencyAndRxTransferSize(ULONG ulBaudRate)
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SetLatencyAndRxTransferSize - IN ");
    BOOLEAN result = TRUE;
    FTDI_LATENCY_SETTING s;
    if (m_ulPolicyType == FTDI_POLICY_LOW_CPU_USAGE) {
        JnTrace(KW_UBUS_TRACE, "LowCpuUsage Policy: BaudRate: %d, FineTuning: %d", ulBaudRate, m_ulLowCpuUsageFineTuning);
        s = FtdiLowCpuUsagePolicy(ulBaudRate, m_ulLowCpuUsageFineTuning);
    } else if (m_ulPolicyType == FTDI_POLICY_SPECIFIC_LATENCY) {
        JnTrace(KW_UBUS_TRACE, "SpecificLatencyTime Policy: BaudRate: %d, MaxLatency: %d, FineTuning: %d", ulBaudRate,
                m_ulMaximumLatency, m_ulMaximumLatencyFineTuning);
        s = FtdiSpecificLatencyPolicy(m_ulMaximumLatency, ulBaudRate, m_ulMaximumLatencyFineTuning);
    } else {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SetLatencyAndRxTransferSize - OUT (Error Invalid Policy Type.)");
        // The settings in force stay; a channel that has none yet (reads of 0 bytes
        // cannot start) runs by the default policy.
        if (m_ulRxTransferSize != 0) return FALSE;
        s = FtdiSpecificLatencyPolicy(m_ulMaximumLatency, ulBaudRate, m_ulMaximumLatencyFineTuning);
        result = FALSE;
    }
    if (s.ulRxTransferSize != m_ulRxTransferSize) {
        m_ulRxTransferSize = m_ucRxTriggerLevel == 1 ? FTDI_PACKET_SIZE : s.ulRxTransferSize;
        m_pUSBTransport->m_SetInterruptPipeBufferSize(m_FittingReadSize());
    }
    if (s.ulLatency != m_ulLatency) {
        m_ulLatency = m_ucRxTriggerLevel == 1 ? 16 : s.ulLatency;
        if (!m_SetLatencyTimer(m_ulLatency)) {
            JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SetLatencyAndRxTransferSize - OUT (Error SetLatency.)");
            return FALSE;
        }
    }
    DbgPrint("Result: Latency: %d, RxTransferSize: %d\n", m_ulLatency, m_ulRxTransferSize);
    if (result) JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SetLatencyAndRxTransferSize - OUT (Success)");
    return result;
}

BOOLEAN CFTDI1Port::m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits)
{
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_CommSettingsCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    USHORT format;
    if (!FtdiDataFormatValue(ulDataBits, ulParity, ulStopBits, m_bBreakOn, &format)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_CommSettingsCallback - OUT - Fail-> unsupported setting.");
        return FALSE;
    }
    if (format != m_usDataFormat &&
        !m_pUSBTransport->m_WriteSettings(FTDI_SET_DATA, format, m_usChannelIndex)) {
        JnTrace(KW_UBUS_TRACE,
                "CFTDI1Port::m_CommSettingsCallback - OUT - Fail-> Error writing to USB Transport (FTDI_SET_DATA).");
        return FALSE;
    }
    m_ulDataBitsCode = ulDataBits;
    m_ulParityCode = ulParity;
    m_ulStopBitsCode = ulStopBits;
    m_usDataFormat = format;
    m_RecomputeChunk();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetBreakCallback(BOOLEAN bOn)
{
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SetBreakCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    USHORT format = bOn ? m_usDataFormat | FTDI_DATA_BREAK : m_usDataFormat & ~FTDI_DATA_BREAK;
    if (!m_pUSBTransport->m_WriteSettings(FTDI_SET_DATA, format, m_usChannelIndex)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SetBreakCallback - OUT - Fail-> Error writing to USB Transport (FTDI_SET_DATA).");
        return FALSE;
    }
    m_bBreakOn = bOn;
    m_usDataFormat = format;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_DtrCallback(BOOLEAN bOn)
{
    if (!m_pPortProvider) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DtrCallback - OUT (m_pPortProvider is NULL)");
        return FALSE;
    }
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DtrCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    if (m_pPortProvider->bIs422485) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DtrCallback - OUT (Failed but return true) - Device is 422/485. Not allow "
                               "to set DTR).");
        return TRUE;
    }
    return m_SetDtr(bOn);
}

BOOLEAN CFTDI1Port::m_RtsCallback(BOOLEAN bOn)
{
    if (!m_pPortProvider) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_RtsCallback - OUT (m_pPortProvider is NULL)");
        return FALSE;
    }
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_RtsCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    if (m_pPortProvider->bIs422485 && m_ulDuplexMode == 2) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_RtsCallback - OUT (Success) - Device is 422/485 in duplex mode 2.");
        return TRUE;
    }
    return m_SetRts(bOn);
}

BOOLEAN CFTDI1Port::m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue)
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DuplexModeSettingsCallback - IN - Mode %d, CtsTrue %d", ulDuplexMode, bCtsTrue);
    if (!m_pPortProvider) return FALSE;
    if (!m_pPortProvider->bIs422485) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DuplexModeSettingsCallback - IN - OUT (Failed - Device is not 422/485).");
        return FALSE;
    }
    if (!m_pUSBTransport) return FALSE;
    BOOLEAN result;
    if (ulDuplexMode == 1) {
        result = m_SetDtr(TRUE);
    } else if (ulDuplexMode == 2) {
        m_ucModemStatus |= FTDI_MODEM_STATUS_CTS;
        result = m_SetDtr(FALSE);
    } else {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_DuplexModeSettingsCallback - IN - OUT (Failed - Unsupported duplex mode).");
        return FALSE;
    }
    m_ulDuplexMode = ulDuplexMode;
    return result;
}

BOOLEAN CFTDI1Port::m_HandshakingSettingsCallback(BOOLEAN bCtsOutputFlowControl, BOOLEAN bRtsInputFlowControl,
                                                  BOOLEAN bDsrOutputFlowControl, BOOLEAN bDtrInputFlowControl,
                                                  BOOLEAN bDsrInputSensitivity, BOOLEAN bRtsToggle,
                                                  BOOLEAN bXonXoffOutputFlowControl, BOOLEAN bXonXoffInputFlowControl,
                                                  BOOLEAN bXoffContinue, BOOLEAN, BOOLEAN, BOOLEAN)
{
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_HandshakingSettingsCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    const BOOLEAN is422485 = m_Is422485();
    BOOLEAN rtsCts = FALSE, dtrDsr = FALSE;
    if (bCtsOutputFlowControl && bRtsInputFlowControl) {
        if (!is422485 || m_ulDuplexMode == 1) {
            rtsCts = TRUE;
        } else {
            bCtsOutputFlowControl = FALSE;
            bRtsInputFlowControl = FALSE;
        }
    }
    if (bDsrOutputFlowControl && bDtrInputFlowControl) {
        if (!is422485) {
            dtrDsr = TRUE;
        } else {
            bDsrOutputFlowControl = FALSE;
            bDtrInputFlowControl = FALSE;
        }
    }
    USHORT index = FtdiFlowControlIndex(m_usChannelIndex, rtsCts, dtrDsr, bXonXoffInputFlowControl);
    if (bXonXoffInputFlowControl) m_bXoffReceived = FALSE;
    if (!m_pUSBTransport->m_WriteSettings(FTDI_SET_FLOW_CTRL, FtdiFlowControlValue(m_ucXonChar, m_ucXoffChar), index)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_HandshakingSettingsCallback - OUT - Fail-> Error writing to USB Transport "
                               "(FTDI_SET_FLOW_CTRL).");
        return FALSE;
    }
    m_bCtsOutputFlowControl = bCtsOutputFlowControl;
    m_bRtsInputFlowControl = bRtsInputFlowControl;
    m_bDsrOutputFlowControl = bDsrOutputFlowControl;
    m_bDtrInputFlowControl = bDtrInputFlowControl;
    m_bDsrInputSensitivity = bDsrInputSensitivity;
    m_bRtsToggleFlowControl = bRtsToggle;
    m_bXonXoffOutputFlowControl = bXonXoffOutputFlowControl;
    m_bXonXoffInputFlowControl = bXonXoffInputFlowControl;
    m_bXoffContinue = bXoffContinue;
    m_usFlowControlIndex = index;
    m_ReevaluateHold();
    m_QueueReport(sm_ReportModemStatus, m_ucModemStatus);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SetSpecialCharactersCallback(UCHAR, UCHAR, UCHAR, UCHAR, UCHAR ucXonChar, UCHAR ucXoffChar)
{
    // They reach the chip with the next flow-control request.
    m_ucXonChar = ucXonChar;
    m_ucXoffChar = ucXoffChar;
    return TRUE;
}

BOOLEAN CFTDI1Port::m_TriggerLevelsCallback(UCHAR ucTxTriggerLevel, UCHAR ucRxTriggerLevel, UCHAR)
{
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_TriggerLevelsCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    m_ucTxTriggerLevel = ucTxTriggerLevel;
    m_ucRxTriggerLevel = ucRxTriggerLevel;
    if (ucRxTriggerLevel == 1) {
        // The read size takes effect with the next computation.
        m_ulRxTransferSize = FTDI_PACKET_SIZE;
        m_ulLatency = 16;
        if (!m_SetLatencyTimer(m_ulLatency)) {
            JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_TriggerLevelsCallback - OUT (Error SetLatency.)");
            return FALSE;
        }
    }
    JnTrace(KW_UBUS_TRACE, "Result: Latency: %d", m_ulLatency);
    return TRUE;
}

BOOLEAN CFTDI1Port::m_PurgeCallback(BOOLEAN bPurgeTransmit, BOOLEAN bPurgeReceive)
{
    if (!m_pUSBTransport) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_PurgeCallback - OUT - Fail-> m_pUSBTransport is NULL.");
        return FALSE;
    }
    // A purge of neither direction discards nothing (a reset would empty both FIFOs).
    if (!bPurgeTransmit && !bPurgeReceive) return TRUE;
    USHORT value = bPurgeTransmit && bPurgeReceive ? FTDI_RESET_CHANNEL
                   : bPurgeTransmit                ? FTDI_RESET_PURGE_TX
                                                   : FTDI_RESET_PURGE_RX;
    m_WaitCharacterTimes(64);
    m_Hold(FALSE);
    if (bPurgeTransmit) m_FlushTransmitQueue(TRUE);
    if (!m_pUSBTransport->m_WriteSettings(FTDI_RESET, value, m_usChannelIndex)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_PurgeCallback - OUT - Fail-> Error writing to USB Transport (FTDI_RESET).");
        m_ReevaluateHold();
        return FALSE;
    }
    m_ReevaluateHold();
    return TRUE;
}

BOOLEAN CFTDI1Port::m_SaveDeviceState()
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SaveDeviceState - IN");
    if (!m_bPortOpen || m_bOpenCloseInProgress) return TRUE;
    if (!m_pPortProvider || !m_pUSBTransport) return FALSE;
    KeClearEvent(&m_WriteFailedEvent);
    m_bSavingState = TRUE;
    m_Hold(FALSE);
    for (int i = 0; i < 5 && m_bWriteInProgress; i++) Sleep(5 * kSecond);
    if (m_bXonXoffInputFlowControl) {
        CJnDataBuffer* xoff = CJnDataBuffer::sm_CreateCopy(&m_ucXoffChar, 1);
        if (xoff) {
            ULONG written;
            m_pUSBTransport->m_SendData(xoff, &written, KW_TRANSPORT_WRITE_PIPE);
            xoff->m_Delete();
        }
    }
    m_pUSBTransport->m_WriteSettings(FTDI_MODEM_CTRL, m_Is422485() ? FTDI_MODEM_CTRL_RTS_OFF : FTDI_MODEM_CTRL_BOTH_OFF,
                                     m_usChannelIndex);
    Sleep(10 * kSecond);
    m_pUSBTransport->m_StopRead();
    m_pUSBTransport->m_FreeSpareBulkRequest();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -2 * kSecond;
    KeWaitForSingleObject(&m_WriteFailedEvent, Executive, KernelMode, FALSE, &timeout);
    if (!m_pUSBTransport->m_WriteSettings(FTDI_RESET, FTDI_RESET_CHANNEL, m_usChannelIndex)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SaveDeviceState - OUT - Fail-> Error writing to USB Transport (FTDI_RESET).");
        return FALSE;
    }
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_SaveDeviceState - OUT (Success)");
    return TRUE;
}

BOOLEAN CFTDI1Port::m_RestoreDeviceState()
{
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_RestoreDeviceState - IN");
    if (!m_pPortProvider) return FALSE;
    if (!m_bPortOpen || m_bOpenCloseInProgress) return TRUE;
    if (!m_pUSBTransport) return FALSE;
    USHORT modem = FTDI_MODEM_CTRL_BOTH_OFF;
    if (m_Is422485() && m_ulDuplexMode != 2) modem |= FTDI_MODEM_CTRL_DTR;
    CUSBTransport* t = m_pUSBTransport;
    if (!t->m_WriteSettings(FTDI_MODEM_CTRL, modem, m_usChannelIndex) || !t->m_AllocateSpareBulkRequest()) return FALSE;
    m_SetLatencyTimer(m_ulLatency);
    if (!t->m_WriteSettings(FTDI_SET_BAUD_RATE, m_usDivisor,
                            FtdiBaudRateIndex(m_usFraction, m_usChannelIndex, m_bCompositeDevice)) ||
        !t->m_WriteSettings(FTDI_SET_DATA, m_usDataFormat, m_usChannelIndex) ||
        !t->m_WriteSettings(FTDI_RESET, FTDI_RESET_CHANNEL, m_usChannelIndex) ||
        !t->m_WriteSettings(FTDI_SET_ERROR_CHAR, m_usErrorCharSetting, m_usChannelIndex) ||
        !t->m_WriteSettings(FTDI_SET_EVENT_CHAR, m_usEventCharSetting, m_usChannelIndex))
        return FALSE;
    m_StartEmulationTimerIfDue();
    if (!m_pQueueB->m_Queue(sm_RestoreDelayed, this, nullptr)) return FALSE;
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_RestoreDeviceState - OUT (Success)");
    return TRUE;
}

void CFTDI1Port::sm_RestoreDelayed(PVOID port, PVOID) { static_cast<CFTDI1Port*>(port)->m_RestoreDelayed(); }

void CFTDI1Port::m_RestoreDelayed()
{
    Sleep(10 * kSecond);
    CUSBTransport* t = m_pUSBTransport;
    if (!t->m_WriteSettings(FTDI_SET_FLOW_CTRL, FtdiFlowControlValue(m_ucXonChar, m_ucXoffChar), m_usFlowControlIndex)) {
        JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_RestoreDeviceState - delayed part failed; transmission stays held.");
        return;
    }
    t->m_StartRead(m_ulRxTransferSize);
    if (m_usFlowControlIndex & FTDI_FLOW_XON_XOFF) {
        CJnDataBuffer* xon = CJnDataBuffer::sm_CreateCopy(&m_ucXonChar, 1);
        if (xon) {
            ULONG written;
            t->m_SendData(xon, &written, KW_TRANSPORT_WRITE_PIPE);
            xon->m_Delete();
        }
    }
    t->m_WriteSettings(FTDI_MODEM_CTRL, m_usModemControl, m_usChannelIndex);
    m_bSavingState = FALSE;
    m_ReevaluateHold();
    // Only now may the emulation run again (it does not while the state is saved).
    m_StartEmulationTimerIfDue();
    JnTrace(KW_UBUS_TRACE, "CFTDI1Port::m_RestoreDeviceState - delayed part done.");
}
