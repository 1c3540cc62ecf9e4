// Line settings of the port object: baud rate (and the discovery of the rates and signals the
// device offers), line control, timeouts, special characters, queue size, LSR/MST insertion,
// FIFO and trigger levels, properties, duplex mode, loop-back, EEPROM and the basic settings
// of serial enumerators.
#include "vcp.h"
#include "jndebugmanager.h"

namespace {

// The rates tried for each SERIAL_BAUD_* bit, in the order they are tried. 60 baud is tried
// only for a mask the device gives itself.
struct RateProbe {
    ULONG bit;
    ULONG rate;
    bool maskOnly;
};
const RateProbe kRateProbes[] = {
    {SERIAL_BAUD_075, 60, true},     {SERIAL_BAUD_075, 75, false},    {SERIAL_BAUD_110, 110, false},
    {SERIAL_BAUD_150, 150, false},   {SERIAL_BAUD_300, 300, false},   {SERIAL_BAUD_600, 600, false},
    {SERIAL_BAUD_134_5, 135, false}, {SERIAL_BAUD_1200, 1200, false}, {SERIAL_BAUD_1800, 1800, false},
    {SERIAL_BAUD_2400, 2400, false}, {SERIAL_BAUD_4800, 4800, false}, {SERIAL_BAUD_7200, 7200, false},
    {SERIAL_BAUD_9600, 9600, false}, {SERIAL_BAUD_14400, 14400, false}, {SERIAL_BAUD_19200, 19200, false},
    {SERIAL_BAUD_38400, 38400, false}, {SERIAL_BAUD_56K, 56000, false}, {SERIAL_BAUD_128K, 128000, false},
    {SERIAL_BAUD_115200, 115200, false}, {SERIAL_BAUD_57600, 57600, false}, {SERIAL_BAUD_USER, 230400, false},
    {SERIAL_BAUD_USER, 460800, false}, {SERIAL_BAUD_USER, 921600, false},
};

const char* ParityName(UCHAR parity)
{
    static const char* const kNames[] = {"NO_PARITY", "ODD_PARITY", "EVEN_PARITY", "MARK_PARITY", "SPACE_PARITY"};
    return parity <= SPACE_PARITY ? kNames[parity] : "unknown";
}
}  // namespace

// ---- baud rate ----

NTSTATUS CVCP::m_SetBaudRate(const SERIAL_BAUD_RATE* pBaudRate)
{
    if (!pBaudRate) return STATUS_INVALID_PARAMETER;
    ULONG rate = pBaudRate->BaudRate;
    JnTrace(kTraceChannel, "\tParameter: pSerialBaudRate->BaudRate:%d", rate);
    if (!m_Serial("m_SetBaudRate") || !m_HaveParameters()) return STATUS_UNSUCCESSFUL;
    // No line runs at 0 baud, and the character time divides by the rate.
    if (!rate) {
        JnTrace(kTraceChannel, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not supported.", rate);
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_pParameters->IsBaudRateSupported(rate)) {
        JnTrace(kTraceChannel, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not supported.", rate);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG deviceRate = m_pParameters->m_ulOverridBaudRates ? m_pParameters->m_ulBaudrate : rate;
    if (!m_Bus(&ISerial::m_BaudrateCallback, deviceRate)) {
        JnTrace(kTraceChannel, "CVCP::m_SetBaudRate - OUT - Failed -> BaudRate:%d is not settable.", deviceRate);
        return STATUS_UNSUCCESSFUL;
    }
    m_ulBaudRate = rate;
    return STATUS_SUCCESS;
}

BOOLEAN CVCP::m_IsBaudRateSettable(ULONG ulBaudRate)
{
    BOOLEAN settable = m_Serial("m_IsBaudRateSettable") ? m_Bus(&ISerial::m_IsBaudRateSettableCallback, ulBaudRate)
                                                        : FALSE;
    JnTrace(kTraceChannel, "CVCP::m_IsBaudRateSettable - OUT (%s)", settable ? "Success" : "Fail");
    return settable;
}

BOOLEAN CVCP::m_CheckSupportedBaudRates()
{
    ISerial* record = m_Serial("m_CheckSupportedBaudRates");
    if (!record || !m_HaveParameters()) return FALSE;
    CVcpParameters& p = *m_pParameters;
    if (record->lSupportedBaudRates == KWISERIAL_BAUD_RATES_NOT_GIVEN) {
        // The device gives no mask: ask it for every rate the bounds allow.
        ULONG mask = 0;
        for (const RateProbe& probe : kRateProbes) {
            if (probe.maskOnly || probe.rate < p.m_ulMinBaudRate || probe.rate > p.m_ulMaxBaudRate) continue;
            if (m_Bus(&ISerial::m_IsBaudRateSettableCallback, probe.rate)) mask |= probe.bit;
        }
        BOOLEAN changed = mask != p.m_ulSupportedBaudRates;
        if (mask & CVcpParameters::kKnownBaudRates) p.m_ulSupportedBaudRates = mask;
        return changed;
    }
    ULONG mask = (ULONG)record->lSupportedBaudRates;
    BOOLEAN changed = mask != p.m_ulSupportedBaudRates;
    if (mask & CVcpParameters::kKnownBaudRates) p.m_ulSupportedBaudRates = mask;
    // The bounds become the slowest and fastest rate of the mask the device accepts.
    ULONG oldMin = p.m_ulMinBaudRate, oldMax = p.m_ulMaxBaudRate;
    ULONG newMin = 0xFFFFFFFF, newMax = 0;
    auto widen = [&](ULONG rate) {
        if (!m_Bus(&ISerial::m_IsBaudRateSettableCallback, rate)) return;
        if (rate > newMax) newMax = rate;
        if (rate < newMin) newMin = rate;
    };
    for (const RateProbe& probe : kRateProbes)
        if (mask & probe.bit) widen(probe.rate);
    ULONG deviceMaximum = 0;
    if ((mask & SERIAL_BAUD_USER) && m_Bus(&ISerial::m_GetMaximumBaudRateCallback, &deviceMaximum) && deviceMaximum)
        widen(deviceMaximum);
    p.m_ulMaxBaudRate = newMax ? newMax : oldMax;
    p.m_ulMinBaudRate = newMin != 0xFFFFFFFF ? newMin : oldMin;
    return changed || p.m_ulMaxBaudRate != oldMax || p.m_ulMinBaudRate != oldMin;
}

BOOLEAN CVCP::m_CheckSupportedSignals()
{
    ISerial* record = m_Serial("m_CheckSupportedSignals");
    if (!record || !m_HaveParameters()) return FALSE;
    struct Signal {
        ULONG& parameter;
        BOOLEAN device;
    } signals[] = {
        {m_pParameters->m_ulCtsSupported, record->bCtsSupported}, {m_pParameters->m_ulRtsSupported, record->bRtsSupported},
        {m_pParameters->m_ulDtrSupported, record->bDtrSupported}, {m_pParameters->m_ulDsrSupported, record->bDsrSupported},
        {m_pParameters->m_ulDcdSupported, record->bDcdSupported}, {m_pParameters->m_ulRiSupported, record->bRiSupported},
    };
    BOOLEAN changed = FALSE;
    for (Signal& s : signals) {
        if ((s.parameter != 0) == (s.device != 0)) continue;
        s.parameter = s.device;
        changed = TRUE;
    }
    return changed;
}

ULONG CVCP::m_GetPortType()
{
    ISerial* record = m_Serial("m_GetPortType");
    ULONG type = record && record->bIs422485 ? CVcpParameters::kPortTypeRs422485 : CVcpParameters::kPortTypeRs232;
    JnTrace(kTraceChannel, "CVCP::m_GetPortType - OUT (Success) - PortType %d", type);
    return type;
}

// ---- line control, timeouts, characters ----

NTSTATUS CVCP::m_SetLineControl(const SERIAL_LINE_CONTROL* pLineControl)
{
    if (!pLineControl) return STATUS_INVALID_PARAMETER;
    JnTrace(kTraceChannel, "\tParameter: WordLength:%d Parity:%s StopBits:%d", pLineControl->WordLength,
            ParityName(pLineControl->Parity), pLineControl->StopBits);
    if (!m_Serial("m_SetLineControl") || !m_HaveParameters()) return STATUS_UNSUCCESSFUL;
    static const ULONG kDataBitsMask[] = {SERIAL_DATABITS_5, SERIAL_DATABITS_6, SERIAL_DATABITS_7, SERIAL_DATABITS_8};
    static const ULONG kParityMask[] = {SERIAL_PARITY_NONE, SERIAL_PARITY_ODD, SERIAL_PARITY_EVEN, SERIAL_PARITY_MARK,
                                        SERIAL_PARITY_SPACE};
    static const ULONG kStopBitsMask[] = {SERIAL_STOPBITS_10, SERIAL_STOPBITS_15, SERIAL_STOPBITS_20};
    UCHAR wordLength = pLineControl->WordLength;
    if (wordLength < 5 || wordLength > 8 || !(m_pParameters->m_ulSupportedDataBits & kDataBitsMask[wordLength - 5])) {
        JnTrace(kTraceChannel, "CVCP::m_SetLineControl - OUT - Fail-> DataBits is not supported.");
        return STATUS_INVALID_PARAMETER;
    }
    if (pLineControl->Parity > SPACE_PARITY || !(m_pParameters->m_ulSupportedParities & kParityMask[pLineControl->Parity])) {
        JnTrace(kTraceChannel, "CVCP::m_SetLineControl - OUT - Fail-> Parity is not supported.");
        return STATUS_INVALID_PARAMETER;
    }
    if (pLineControl->StopBits > STOP_BITS_2 ||
        !(m_pParameters->m_ulSupportedStopBits & kStopBitsMask[pLineControl->StopBits])) {
        JnTrace(kTraceChannel, "CVCP::m_SetLineControl - OUT - Fail-> StopBits is not supported.");
        return STATUS_INVALID_PARAMETER;
    }
    m_LineControl = *pLineControl;
    ULONG dataBits, parity, stopBits;
    m_DeviceLineCodes(m_LineControl, dataBits, parity, stopBits);
    if (m_Bus(&ISerial::m_CommSettingsCallback, dataBits, parity, stopBits)) return STATUS_SUCCESS;
    JnTrace(kTraceChannel, "CVCP::m_SetLineControl - OUT (NTSTATUS:0x%X)", STATUS_UNSUCCESSFUL);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CVCP::m_SetTimeouts(const SERIAL_TIMEOUTS* pTimeouts)
{
    if (!pTimeouts) return STATUS_INVALID_PARAMETER;
    const SERIAL_TIMEOUTS& t = *pTimeouts;
    JnTrace(kTraceChannel, "\tParameter: RI:%d RTM:%d RTC:%d WTM:%d WTC:%d", t.ReadIntervalTimeout,
            t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
            t.WriteTotalTimeoutConstant);
    if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
        t.ReadTotalTimeoutConstant == MAXULONG) {
        JnTrace(kTraceChannel, "CVCP::m_SetTimeouts - OUT - Failed- Incorrect parameters.");
        return STATUS_INVALID_PARAMETER;
    }
    m_Timeouts = t;
    m_pDevice->m_ReadQueue.m_SetTimeouts(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                         t.ReadTotalTimeoutConstant);
    m_pDevice->m_WriteQueue.m_SetTimeouts(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetSpecialCharacters(const SERIAL_CHARS* pChars)
{
    if (!pChars) return STATUS_INVALID_PARAMETER;
    if (!m_Serial("m_SetSpecialCharacters")) return STATUS_UNSUCCESSFUL;
    UCHAR escape = (UCHAR)sm_Read(m_ucLsrMstEscapeChar);
    if (escape && (escape == pChars->XonChar || escape == pChars->XoffChar)) {
        JnTrace(kTraceChannel, "CVCP::m_SetSpecialCharacters - OUT - Failed- Incorrect parameter.");
        return STATUS_INVALID_PARAMETER;
    }
    m_SpecialChars = *pChars;
    if (!m_Bus(&ISerial::m_SetSpecialCharactersCallback, pChars->BreakChar, pChars->EofChar, pChars->ErrorChar,
               pChars->EventChar, pChars->XonChar, pChars->XoffChar)) {
        JnTrace(kTraceChannel, "CVCP::m_SetSpecialCharacters - OUT - Failed- Error setting special characters.");
        return STATUS_UNSUCCESSFUL;
    }
    JnTrace(kTraceChannel, "CVCP::m_SetSpecialCharacters - OUT (Success)");
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetQueueSize(const SERIAL_QUEUE_SIZE* pQueueSize)
{
    if (!pQueueSize) return STATUS_INVALID_PARAMETER;
    JnTrace(kTraceChannel, "\tpQueueSize->InSize:0x%X", pQueueSize->InSize);
    JnTrace(kTraceChannel, "\tpQueueSize->OutSize:0x%X (value ignored)", pQueueSize->OutSize);
    // The port keeps up to this much received data in kernel memory: an application may
    // ask for more room than the minimum, not for any amount.
    ULONG size = pQueueSize->InSize;
    if (size < m_ulMinimumReceiveBufferSize) size = m_ulMinimumReceiveBufferSize;
    if (size > kMaximumReceiveBufferSize) size = kMaximumReceiveBufferSize;
    m_ulReceiveBufferSize = size;
    m_ulReceiveBuffer80Percent = (ULONG)((ULONGLONG)size * 80 / 100);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetLsrMstInsert(UCHAR ucEscapeChar)
{
    ISerial* record = m_Serial("m_SetLsrMstInsert");
    if (!record) return STATUS_UNSUCCESSFUL;
    if (ucEscapeChar && (ucEscapeChar == m_SpecialChars.XoffChar || ucEscapeChar == m_SpecialChars.XonChar ||
                         (m_FlowReplace() & SERIAL_ERROR_CHAR))) {
        JnTrace(kTraceChannel, "CVCP::m_SetLsrMstInsert - OUT - Invalid parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if (!record->bExtendedCharacterProcessing) {
        // The device does not insert: the port does it itself.
        sm_Exchange(m_ucLsrMstEscapeChar, ucEscapeChar);
        return STATUS_SUCCESS;
    }
    if (record->bExtendedCharacterProcessing == 1 && m_Bus(&ISerial::m_LsrMstInsertCallback, ucEscapeChar))
        return STATUS_SUCCESS;
    JnTrace(kTraceChannel, "CVCP::m_SetLsrMstInsert - OUT - Failed- Error setting Lsr Mst Insert.");
    return STATUS_UNSUCCESSFUL;
}

// ---- FIFO and trigger levels ----

BOOLEAN CVCP::m_SetTriggerLevels(UCHAR ucTransmit, UCHAR ucReceive, UCHAR ucFlowControl)
{
    BOOLEAN result = m_Serial("m_SetTriggerLevels")
                         ? m_Bus(&ISerial::m_TriggerLevelsCallback, ucTransmit, ucReceive, ucFlowControl)
                         : FALSE;
    JnTrace(kTraceChannel, "CVCP::m_SetTriggerLevels - OUT (%s)", result ? "Success" : "Fail");
    return result;
}

BOOLEAN CVCP::m_SetFifoEnable(BOOLEAN bEnable)
{
    if (!m_HaveParameters()) return FALSE;
    UCHAR tx = (UCHAR)m_pParameters->m_ulTransmitTriggerLevel;
    UCHAR flow = (UCHAR)m_pParameters->m_ulFlowControlTriggerLevel;
    if (bEnable) {
        if (!m_ucSavedReceiveTriggerLevel) return TRUE;  // enabled already
        UCHAR saved = m_ucSavedReceiveTriggerLevel;
        m_ucSavedReceiveTriggerLevel = 0;
        return m_SetTriggerLevels(tx, saved, flow);
    }
    if (m_ucSavedReceiveTriggerLevel) return TRUE;  // disabled already
    // A receive trigger level of 1 is what a disabled FIFO means to the device.
    m_ucSavedReceiveTriggerLevel = (UCHAR)m_pParameters->m_ulReceiveTriggerLevel;
    return m_SetTriggerLevels(tx, 1, flow);
}

NTSTATUS CVCP::m_SetFifoControl(ULONG ulFifoControl)
{
    return m_SetFifoEnable((ulFifoControl & SERIAL_FIFO_ENABLE) ? TRUE : FALSE) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---- properties, duplex mode, loop-back, EEPROM ----

NTSTATUS CVCP::m_GetPortProperties(PSERIAL_COMMPROP pCommProp)
{
    if (!pCommProp) {
        JnTrace(kTraceChannel, "CVCP::m_GetPortProperties - OUT - Fail-> pCommProp is NULL.");
        return STATUS_INVALID_PARAMETER;
    }
    if (!m_HaveParameters()) return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(pCommProp, sizeof *pCommProp);
    pCommProp->PacketLength = sizeof *pCommProp;
    pCommProp->PacketVersion = 2;
    pCommProp->ServiceMask = SERIAL_SP_SERIALCOMM;
    pCommProp->MaxBaud = SERIAL_BAUD_USER;
    pCommProp->ProvSubType = m_GetPortType() == CVcpParameters::kPortTypeRs422485 ? SERIAL_SP_RS422 : SERIAL_SP_RS232;
    pCommProp->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                                  SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                  SERIAL_PCF_INTTIMEOUTS;
    pCommProp->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                                SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    pCommProp->SettableBaud = m_pParameters->m_ulSupportedBaudRates;
    pCommProp->SettableData = (USHORT)m_pParameters->m_ulSupportedDataBits;
    pCommProp->SettableStopParity =
        (USHORT)(m_pParameters->m_ulSupportedStopBits | m_pParameters->m_ulSupportedParities);
    pCommProp->CurrentRxQueue = m_ulReceiveBufferSize;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetDuplexMode(ULONG ulDuplexMode, BOOLEAN bCtsTrue)
{
    ISerial* record = m_Serial("m_SetDuplexMode");
    if (!record || !m_HaveParameters()) return STATUS_UNSUCCESSFUL;
    if (!ulDuplexMode && record->bIs422485 == 1) {
        JnTrace(kTraceChannel, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_NONE set on 422/485 device.");
        return STATUS_UNSUCCESSFUL;
    }
    if (ulDuplexMode && !record->bIs422485) {
        JnTrace(kTraceChannel, "CVCP::m_DuplexModeSettings - OUT - Fail->DUPLEX_MODE_%d set on 232 device.",
                ulDuplexMode);
        return STATUS_UNSUCCESSFUL;
    }
    if (ulDuplexMode > 5) return STATUS_INVALID_PARAMETER;
    if (record->bIs422485 != 1 || !m_Bus(&ISerial::m_DuplexModeSettingsCallback, ulDuplexMode, bCtsTrue)) {
        JnTrace(kTraceChannel, "CVCP::m_DuplexModeSettings - OUT - Fail->Error setting duplex mode.");
        return STATUS_UNSUCCESSFUL;
    }
    m_pParameters->m_ulDuplexMode = ulDuplexMode;
    m_pParameters->m_ul422485CtsTrue = bCtsTrue;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetInternalLoopBackMode(BOOLEAN bOn)
{
    if (!m_Serial("m_SetInternalLoopBackMode")) return STATUS_UNSUCCESSFUL;
    if (!m_Bus(&ISerial::m_InternalLoopbackCallback, bOn)) {
        JnTrace(kTraceChannel, "CVCP::m_SetInternalLoopBackMode - OUT - Fail->Error setting Internal Loopback mode.");
        return STATUS_NOT_IMPLEMENTED;
    }
    m_bLoopback = bOn;
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_Eeprom(bool write, ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer)
{
    ISerial* record = m_Serial(write ? "m_WriteEeprom" : "m_ReadEeprom");
    if (!record) return STATUS_UNSUCCESSFUL;
    BOOLEAN gate = write ? record->bWriteEepromSupported : record->bReadEepromSupported;
    if (!gate) {
        JnTrace(kTraceChannel, write ? "CVCP::m_WriteEeprom - OUT - Fail -> Writing Eeprom not supported."
                                     : "CVCP::m_ReadEeprom - OUT - Fail -> Reading Eeprom not supported.");
        return STATUS_NOT_IMPLEMENTED;
    }
    BOOLEAN done = gate == 1 && (write ? m_Bus(&ISerial::m_WriteEepromCallback, ulStartOffset, ulLength, pucBuffer)
                                       : m_Bus(&ISerial::m_ReadEepromCallback, ulStartOffset, ulLength, pucBuffer));
    if (done) return STATUS_SUCCESS;
    JnTrace(kTraceChannel, write ? "CVCP::m_WriteEeprom - OUT - Fail -> Error writing Eeprom."
                                 : "CVCP::m_ReadEeprom - OUT - Fail -> Error reading Eeprom.");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_ReadEeprom(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer)
{
    return m_Eeprom(false, ulStartOffset, ulLength, pucBuffer);
}

NTSTATUS CVCP::m_WriteEeprom(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer)
{
    return m_Eeprom(true, ulStartOffset, ulLength, pucBuffer);
}

// ---- serial enumerators' basic settings, wait-wake ----

NTSTATUS CVCP::m_InternalBasicSettings(PSERIAL_BASIC_SETTINGS pSettings)
{
    if (!pSettings) return STATUS_INVALID_PARAMETER;
    pSettings->Timeouts = m_Timeouts;
    pSettings->HandFlow = m_HandFlow;
    pSettings->RxFifo = m_pParameters ? m_pParameters->m_ulReceiveTriggerLevel : 0;
    pSettings->TxFifo = m_pParameters ? m_pParameters->m_ulTransmitTriggerLevel : 0;
    // No timeouts, no handshake (refused unless the port allows none), no FIFO.
    SERIAL_TIMEOUTS timeouts = {};
    SERIAL_HANDFLOW handFlow = {};
    m_SetTimeouts(&timeouts);
    m_SetHandFlow(&handFlow);
    m_SetFifoEnable(FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_RestoreBasicSettings(const SERIAL_BASIC_SETTINGS* pSettings)
{
    if (!pSettings) return STATUS_INVALID_PARAMETER;
    m_SetTimeouts(&pSettings->Timeouts);
    m_SetHandFlow(&pSettings->HandFlow);
    m_SetFifoEnable(TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_CancelWaitWake()
{
    PIRP irp = m_pWaitWakeIrp;
    m_pWaitWakeIrp = nullptr;
    if (irp) IoCancelIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_DoWaitWake() { return STATUS_NOT_SUPPORTED; }
