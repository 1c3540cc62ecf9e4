#include "vcpparameters.h"

#define KW_VCP_ITEM(name, member, value) {KW_W(name), &CVcpParameters::member, value}

const CVcpParameters::Item CVcpParameters::sm_Items[kItemCount] = {
    KW_VCP_ITEM("PortType", m_ulPortType, kPortTypeUnknown),
    KW_VCP_ITEM("MaxBaudRate", m_ulMaxBaudRate, 1000000),
    KW_VCP_ITEM("MinBaudRate", m_ulMinBaudRate, 75),
    KW_VCP_ITEM("DuplexMode", m_ulDuplexMode, 0),
    KW_VCP_ITEM("Baudrate", m_ulBaudrate, 9600),
    KW_VCP_ITEM("Databits", m_ulDatabits, 3),
    KW_VCP_ITEM("Parity", m_ulParity, 0),
    KW_VCP_ITEM("Stopbits", m_ulStopbits, 0),
    KW_VCP_ITEM("FlowControl", m_ulFlowControl, 0),
    KW_VCP_ITEM("LogLevel", m_ulLogLevel, 0),
    KW_VCP_ITEM("ReceiveTriggerLevel", m_ulReceiveTriggerLevel, 75),
    KW_VCP_ITEM("TransmitTriggerLevel", m_ulTransmitTriggerLevel, 10),
    KW_VCP_ITEM("FlowControlTriggerLevel", m_ulFlowControlTriggerLevel, 85),
    KW_VCP_ITEM("SupportedBaudRates", m_ulSupportedBaudRates, kKnownBaudRates),
    KW_VCP_ITEM("SupportedParities", m_ulSupportedParities, 0x1F00),
    KW_VCP_ITEM("SupportedDataBits", m_ulSupportedDataBits, 15),
    KW_VCP_ITEM("SupportedStopBits", m_ulSupportedStopBits, 7),
    KW_VCP_ITEM("SupportedFlowControls", m_ulSupportedFlowControls, 15),
    KW_VCP_ITEM("SupportedDuplexModes", m_ulSupportedDuplexModes, 0),
    KW_VCP_ITEM("OverridBaudRates", m_ulOverridBaudRates, 0),
    KW_VCP_ITEM("OverrideDataBits", m_ulOverrideDataBits, 0),
    KW_VCP_ITEM("OverrideParity", m_ulOverrideParity, 0),
    KW_VCP_ITEM("OverrideStopbits", m_ulOverrideStopbits, 0),
    KW_VCP_ITEM("OverrideFlowControl", m_ulOverrideFlowControl, 0),
    KW_VCP_ITEM("EmulateCTSTrue", m_ulEmulateCTSTrue, 0),
    KW_VCP_ITEM("EmulateDSRTrue", m_ulEmulateDSRTrue, 0),
    KW_VCP_ITEM("422485CtsTrue", m_ul422485CtsTrue, 0),
    KW_VCP_ITEM("CtsSupported", m_ulCtsSupported, 1),
    KW_VCP_ITEM("RtsSupported", m_ulRtsSupported, 1),
    KW_VCP_ITEM("DtrSupported", m_ulDtrSupported, 1),
    KW_VCP_ITEM("DsrSupported", m_ulDsrSupported, 1),
    KW_VCP_ITEM("DcdSupported", m_ulDcdSupported, 1),
    KW_VCP_ITEM("RiSupported", m_ulRiSupported, 1),
};

#undef KW_VCP_ITEM

const ULONG g_VcpStandardBaudRates[19] = {75,   110,  135,   150,   300,   600,   1200,   1800,   2400,  4800,
                                          7200, 9600, 14400, 19200, 38400, 56000, 128000, 115200, 57600};

void CVcpParameters::m_SetDefaults()
{
    for (ULONG i = 0; i < kItemCount; i++) m_Value(i) = sm_Items[i].defaultValue;
}

BOOLEAN CVcpParameters::sm_FlowControlHandshake(ULONG ulFlowControl, ULONG& ulControlHandShake, ULONG& ulFlowReplace)
{
    switch (ulFlowControl) {
    case 0:
    case kFlowNone:
        ulControlHandShake = SERIAL_DTR_CONTROL;
        ulFlowReplace = SERIAL_RTS_CONTROL;
        return TRUE;
    case kFlowCtsRts:
        ulControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
        ulFlowReplace = SERIAL_RTS_HANDSHAKE;
        return TRUE;
    case kFlowDtrDsr:
        ulControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
        ulFlowReplace = SERIAL_RTS_CONTROL;
        return TRUE;
    case kFlowXonXoff:
        ulControlHandShake = SERIAL_DTR_CONTROL;
        ulFlowReplace = SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
        return TRUE;
    default:
        return FALSE;
    }
}

BOOLEAN CVcpParameters::IsBaudRateSupported(ULONG ulBaudRate) const
{
    if (ulBaudRate < m_ulMinBaudRate || ulBaudRate > m_ulMaxBaudRate) return FALSE;
    if (m_ulSupportedBaudRates & SERIAL_BAUD_USER) return TRUE;
    for (ULONG bit = 0; bit < 19; bit++) {
        if (!(m_ulSupportedBaudRates & (1u << bit))) continue;
        // 134.5 baud is asked for as 134 or 135.
        if (ulBaudRate == g_VcpStandardBaudRates[bit] || (bit == 2 && ulBaudRate == 134)) return TRUE;
    }
    return FALSE;
}
