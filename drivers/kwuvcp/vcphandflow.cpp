// Handshake and the modem-control lines of the port object: SET_HANDFLOW with its
// validation and the registry override, the holds and lines that follow from it, DTR and RTS
// with their shadows, break, Xon/Xoff by request and the immediate character.
#include "vcp.h"
#include "jndebugmanager.h"

namespace {
bool RtsIs(ULONG flowReplace, ULONG mode) { return (flowReplace & SERIAL_RTS_MASK) == mode; }

// Whether the handshake is one the port is configured to allow.
bool IsSupportedHandshake(const SERIAL_HANDFLOW& h, ULONG supported)
{
    if (supported & CVcpParameters::kFlowNone) return true;
    if ((supported & CVcpParameters::kFlowCtsRts) && (h.ControlHandShake & SERIAL_CTS_HANDSHAKE) &&
        (h.FlowReplace & SERIAL_RTS_HANDSHAKE))
        return true;
    if ((supported & CVcpParameters::kFlowDtrDsr) && (h.ControlHandShake & SERIAL_DSR_HANDSHAKE) &&
        (h.ControlHandShake & SERIAL_DTR_HANDSHAKE))
        return true;
    const ULONG xonXoff = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
    return (supported & CVcpParameters::kFlowXonXoff) && (h.FlowReplace & xonXoff) == xonXoff;
}
}  // namespace

NTSTATUS CVCP::m_SetHandFlow(const SERIAL_HANDFLOW* pHandFlow)
{
    if (!pHandFlow) return STATUS_INVALID_PARAMETER;
    SERIAL_HANDFLOW h = *pHandFlow;
    JnTrace(kTraceChannel, "\tParameter: ControlHandShake:0x%X FlowReplace:0x%X XonLimit:%d XoffLimit:%d",
            h.ControlHandShake, h.FlowReplace, h.XonLimit, h.XoffLimit);
    if (!m_Serial("m_SetHandFlow") || !m_HaveParameters()) return STATUS_UNSUCCESSFUL;
    const char* failure = nullptr;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    LONG size = (LONG)m_ulReceiveBufferSize;
    if (h.ControlHandShake & SERIAL_CONTROL_INVALID) {
        failure = "Incorrect parameter.(SERIAL_CONTROL_INVALID)";
    } else if (h.FlowReplace & SERIAL_FLOW_INVALID) {
        failure = "Incorrect parameter.(SERIAL_FLOW_INVALID)";
    } else if ((h.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        failure = "Incorrect parameter.(SERIAL_DTR_MASK invalid)";
    } else if (h.XonLimit < 0 || h.XonLimit > size) {
        failure = "Incorrect parameter.(XonLimit out of bound)";
        status = STATUS_UNSUCCESSFUL;
    } else if (h.XoffLimit < 0 || h.XoffLimit > size) {
        failure = "Incorrect parameter.(XoffLimit out of bound)";
        status = STATUS_UNSUCCESSFUL;
    } else if (!IsSupportedHandshake(h, m_pParameters->m_ulSupportedFlowControls)) {
        failure = "Unsupported flow control type.";
        status = STATUS_UNSUCCESSFUL;
    }
    if (failure) {
        JnTrace(kTraceChannel, "CVCP::m_SetHandFlow - OUT - Failed- %s", failure);
        return status;
    }

    // The registry's handshake, whatever was asked (another FlowControl value: none at all).
    if (m_pParameters->m_ulOverrideFlowControl &&
        !CVcpParameters::sm_FlowControlHandshake(m_pParameters->m_ulFlowControl, h.ControlHandShake, h.FlowReplace))
        h.ControlHandShake = h.FlowReplace = 0;
    m_HandFlow = h;

    // A limit of the whole buffer leaves one byte. The Xon level must lie below the Xoff
    // threshold (size - Xoff level), or the flow control would release at once what it
    // has just held.
    ULONG bufferSize = m_ulReceiveBufferSize;
    ULONG xoffLevel = (ULONG)h.XoffLimit == bufferSize ? bufferSize - 1 : (ULONG)h.XoffLimit;
    ULONG xonLevel = (ULONG)h.XonLimit == bufferSize ? bufferSize - 1 : (ULONG)h.XonLimit;
    if (xonLevel >= bufferSize - xoffLevel) xonLevel = bufferSize - xoffLevel - 1;
    m_ulXoffLevel = xoffLevel;
    m_ulXonLevel = xonLevel;

    ULONG control = h.ControlHandShake, flow = h.FlowReplace;
    BOOLEAN extended = m_ExtendedProcessing() ? TRUE : FALSE;
    if (!m_Bus(&ISerial::m_HandshakingSettingsCallback, (BOOLEAN)((control & SERIAL_CTS_HANDSHAKE) != 0),
               (BOOLEAN)((flow & SERIAL_RTS_HANDSHAKE) != 0), (BOOLEAN)((control & SERIAL_DSR_HANDSHAKE) != 0),
               (BOOLEAN)((control & SERIAL_DTR_HANDSHAKE) != 0), (BOOLEAN)((control & SERIAL_DSR_SENSITIVITY) != 0),
               (BOOLEAN)RtsIs(flow, SERIAL_TRANSMIT_TOGGLE), (BOOLEAN)((flow & SERIAL_AUTO_TRANSMIT) != 0),
               (BOOLEAN)((flow & SERIAL_AUTO_RECEIVE) != 0), (BOOLEAN)((flow & SERIAL_XOFF_CONTINUE) != 0),
               (BOOLEAN)(extended && (flow & SERIAL_ERROR_CHAR)), (BOOLEAN)(extended && (flow & SERIAL_NULL_STRIPPING)),
               (BOOLEAN)(extended && (flow & SERIAL_BREAK_CHAR)))) {
        JnTrace(kTraceChannel, "CVCP::m_SetHandFlow - OUT - Failed- Error setting handshaking settings.");
        return STATUS_UNSUCCESSFUL;
    }
    return m_SetupHandFlowSignal();
}

NTSTATUS CVCP::m_SetupHandFlowSignal()
{
    ULONG control = m_ControlHandShake(), flow = m_FlowReplace();
    ULONG modemStatus = sm_Read(m_ulModemStatus);
    if (control & SERIAL_OUT_HANDSHAKEMASK) {
        m_SetHold(kCtsHold, (control & SERIAL_CTS_HANDSHAKE) && !(modemStatus & SERIAL_MSR_CTS));
        m_SetHold(kDsrHold, (control & SERIAL_DSR_HANDSHAKE) && !(modemStatus & SERIAL_MSR_DSR));
        m_SetHold(kDcdHold, (control & SERIAL_DCD_HANDSHAKE) && !(modemStatus & SERIAL_MSR_DCD));
    } else {
        m_SetHold(kCtsHold, false);
        m_SetHold(kDsrHold, false);
        m_SetHold(kDcdHold, false);
    }
    m_SetHold(kDtrReceiveHold, false);
    m_SetHold(kRtsReceiveHold, false);

    ULONG dtr = control & SERIAL_DTR_MASK;
    BOOLEAN dtrOn = dtr == SERIAL_DTR_CONTROL || dtr == SERIAL_DTR_HANDSHAKE;
    if (!m_Bus(&ISerial::m_DtrCallback, dtrOn)) {
        JnTrace(kTraceChannel, dtrOn ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to TRUE."
                                     : "CVCP::m_SetHandFlow - OUT - Failed- Error setting DTR to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN rtsOn = RtsIs(flow, SERIAL_RTS_HANDSHAKE) || RtsIs(flow, SERIAL_RTS_CONTROL);
    if (!m_Bus(&ISerial::m_RtsCallback, rtsOn)) {
        JnTrace(kTraceChannel, rtsOn ? "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to TRUE."
                                     : "CVCP::m_SetHandFlow - OUT - Failed- Error setting RTS to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    // Without Xon/Xoff input flow control the Xoff the port sent is taken back; without
    // output flow control no Xoff received may keep holding the transmitter.
    bool release = false;
    if (!(flow & SERIAL_AUTO_RECEIVE) && m_SetHold(kXoffSentHold, false)) release = true;
    if (!(flow & SERIAL_AUTO_TRANSMIT) && m_IsHeld(kXonHold)) release = true;
    if (release && !NT_SUCCESS(m_SetXon())) {
        JnTrace(kTraceChannel, "CVCP::m_SetHandFlow - OUT - Failed- Error setting Xon.");
        return STATUS_UNSUCCESSFUL;
    }
    JnTrace(kTraceChannel, "CVCP::m_SetHandFlow - OUT (Success)");
    return STATUS_SUCCESS;
}

// ---- DTR and RTS ----

NTSTATUS CVCP::m_SetLine(bool dtr, bool on)
{
    static const char* const kNames[2][2] = {{"m_ClearRts", "m_SetRts"}, {"m_ClearDtr", "m_SetDtr"}};
    static const char* const kFailures[2][2] = {
        {"CVCP::m_ClearRts - OUT - Failed- Error setting RTS to FALSE.",
         "CVCP::m_SetRts - OUT - Failed- Error setting RTS to TRUE."},
        {"CVCP::m_ClearDtr - OUT - Failed- Error setting DTR to FALSE.",
         "CVCP::m_SetDtr - OUT - Failed- Error setting DTR to TRUE."}};
    const char* name = kNames[dtr][on];
    if (!m_Serial(name)) return STATUS_UNSUCCESSFUL;
    // A line the handshake drives is not the application's.
    bool refused = dtr ? (m_ControlHandShake() & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE
                       : RtsIs(m_FlowReplace(), SERIAL_RTS_HANDSHAKE) || RtsIs(m_FlowReplace(), SERIAL_TRANSMIT_TOGGLE);
    if (refused) {
        JnTrace(kTraceChannel, "CVCP::%s - OUT - Invalid parameter", name);
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR bit = dtr ? SERIAL_MCR_DTR : SERIAL_MCR_RTS;
    if (((m_ucModemControl & bit) != 0) == on) return STATUS_SUCCESS;
    BOOLEAN done = dtr ? m_Bus(&ISerial::m_DtrCallback, (BOOLEAN)on) : m_Bus(&ISerial::m_RtsCallback, (BOOLEAN)on);
    if (!done) {
        JnTrace(kTraceChannel, kFailures[dtr][on]);
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = on ? (UCHAR)(m_ucModemControl | bit) : (UCHAR)(m_ucModemControl & ~bit);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_ClearDtr() { return m_SetLine(true, false); }
NTSTATUS CVCP::m_SetDtr() { return m_SetLine(true, true); }
NTSTATUS CVCP::m_ClearRts() { return m_SetLine(false, false); }
NTSTATUS CVCP::m_SetRts() { return m_SetLine(false, true); }

NTSTATUS CVCP::m_SetModemControl(UCHAR ucModemControl)
{
    NTSTATUS status = (ucModemControl & SERIAL_MCR_RTS) ? m_SetRts() : m_ClearRts();
    if (status != STATUS_SUCCESS) {
        JnTrace(kTraceChannel, "CVCP::m_SetModemControl - OUT - Failed-> Error setting RTS.");
        return STATUS_UNSUCCESSFUL;
    }
    status = (ucModemControl & SERIAL_MCR_DTR) ? m_SetDtr() : m_ClearDtr();
    if (status != STATUS_SUCCESS) {
        JnTrace(kTraceChannel, "CVCP::m_SetModemControl - OUT - Failed-> Error setting DTR.");
        return STATUS_UNSUCCESSFUL;
    }
    m_ucModemControl = ucModemControl;
    return STATUS_SUCCESS;
}

// ---- break, Xon/Xoff, immediate character ----

NTSTATUS CVCP::m_SetBreakOn()
{
    if (!m_Serial("m_SetBreakOn")) return STATUS_UNSUCCESSFUL;
    if (!m_Bus(&ISerial::m_SetBreakCallback, (BOOLEAN)TRUE)) {
        JnTrace(kTraceChannel, "CVCP::m_SetBreakOn - OUT - Failed- Error setting Break to TRUE.");
        return STATUS_UNSUCCESSFUL;
    }
    m_SetHold(kBreakHold, true);
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetBreakOff()
{
    if (!m_Serial("m_SetBreakOff")) return STATUS_UNSUCCESSFUL;
    if (!m_SetHold(kBreakHold, false)) return STATUS_SUCCESS;
    if (!m_Bus(&ISerial::m_SetBreakCallback, (BOOLEAN)FALSE)) {
        JnTrace(kTraceChannel, "CVCP::m_SetBreakOff - OUT - Failed- Error setting Break to FALSE.");
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CVCP::m_SetXon()
{
    if (!m_Serial("m_SetXon")) return STATUS_UNSUCCESSFUL;
    BOOLEAN done = m_Bus(&ISerial::m_PretendXoffReceivedCallback, (BOOLEAN)FALSE);
    m_SetHold(kXonHold, false);
    JnTrace(kTraceChannel, "CVCP::m_SetXon - OUT (%s)", done ? "Success" : "Fail");
    return done ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_SetXoff()
{
    if (!m_Serial("m_SetXoff")) return STATUS_UNSUCCESSFUL;
    BOOLEAN done = m_Bus(&ISerial::m_PretendXoffReceivedCallback, (BOOLEAN)TRUE);
    m_SetHold(kXonHold, true);
    JnTrace(kTraceChannel, "CVCP::m_SetXoff - OUT (%s)", done ? "Success" : "Fail");
    return done ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CVCP::m_SendImmediateChar(UCHAR ucChar)
{
    if (!m_Serial("m_SendImmediateChar")) return STATUS_UNSUCCESSFUL;
    // Counted before the call: the bus may report it written before the call returns.
    m_AddPending(1);
    sm_Exchange(m_bWaitForImmediate, 1);
    BOOLEAN done = m_Bus(&ISerial::m_SendImmediateCharacterCallback, ucChar);
    if (!done) {
        m_TakePending(1);
        sm_Exchange(m_bWaitForImmediate, 0);
    }
    JnTrace(kTraceChannel, "CVCP::m_SendImmediateChar - OUT (%s)", done ? "Success" : "Fail");
    return done ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
