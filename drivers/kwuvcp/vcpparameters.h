// CVcpParameters: the values of a port's parameter set, the part of the port's configuration
// the property pages show and change. Every value is a 32-bit unsigned integer stored as the
// REG_DWORD of the same name; the table below gives the names, the order in which the set
// is exchanged as one block (33 little-endian words) and the defaults a missing value takes.
// The information set that loads, stores and exchanges them derives from this class and uses
// the table; the port object reads the values directly.
#pragma once

#include "kwplat/serial.h"

class CVcpParameters {
public:
    static const ULONG kItemCount = 33;

    // PortType until the device told the port what it is.
    static const ULONG kPortTypeUnknown = 255;
    static const ULONG kPortTypeRs232 = 0;
    static const ULONG kPortTypeRs422485 = 1;
    // SupportedFlowControls and FlowControl.
    static const ULONG kFlowCtsRts = 0x1;
    static const ULONG kFlowDtrDsr = 0x2;
    static const ULONG kFlowXonXoff = 0x4;
    static const ULONG kFlowNone = 0x8;
    // Every SERIAL_BAUD_* bit the port knows: the standard rates and SERIAL_BAUD_USER.
    static const ULONG kKnownBaudRates = 0x1007FFFF;

    struct Item {
        PCWSTR name;  // the registry value name
        ULONG CVcpParameters::*value;
        ULONG defaultValue;
    };
    // The items in block order.
    static const Item sm_Items[kItemCount];

    CVcpParameters() { m_SetDefaults(); }

    void m_SetDefaults();
    ULONG& m_Value(ULONG index) { return this->*sm_Items[index].value; }

    // The handshake a FlowControl value stands for (0 and 8 none, 1 CTS/RTS, 2 DTR/DSR, 4
    // Xon/Xoff, each with the lines it leaves on); FALSE for any other value.
    static BOOLEAN sm_FlowControlHandshake(ULONG ulFlowControl, ULONG& ulControlHandShake, ULONG& ulFlowReplace);

    // Whether an application may set the rate: inside MinBaudRate..MaxBaudRate and, unless
    // SupportedBaudRates has SERIAL_BAUD_USER, one of the standard rates it names.
    BOOLEAN IsBaudRateSupported(ULONG ulBaudRate) const;

    ULONG m_ulPortType;
    ULONG m_ulMaxBaudRate;
    ULONG m_ulMinBaudRate;
    ULONG m_ulDuplexMode;
    ULONG m_ulBaudrate;
    ULONG m_ulDatabits;
    ULONG m_ulParity;
    ULONG m_ulStopbits;
    ULONG m_ulFlowControl;
    ULONG m_ulLogLevel;
    ULONG m_ulReceiveTriggerLevel;
    ULONG m_ulTransmitTriggerLevel;
    ULONG m_ulFlowControlTriggerLevel;
    ULONG m_ulSupportedBaudRates;
    ULONG m_ulSupportedParities;
    ULONG m_ulSupportedDataBits;
    ULONG m_ulSupportedStopBits;
    ULONG m_ulSupportedFlowControls;
    ULONG m_ulSupportedDuplexModes;
    ULONG m_ulOverridBaudRates;
    ULONG m_ulOverrideDataBits;
    ULONG m_ulOverrideParity;
    ULONG m_ulOverrideStopbits;
    ULONG m_ulOverrideFlowControl;
    ULONG m_ulEmulateCTSTrue;
    ULONG m_ulEmulateDSRTrue;
    ULONG m_ul422485CtsTrue;
    ULONG m_ulCtsSupported;
    ULONG m_ulRtsSupported;
    ULONG m_ulDtrSupported;
    ULONG m_ulDsrSupported;
    ULONG m_ulDcdSupported;
    ULONG m_ulRiSupported;
};

// The standard rates of the SERIAL_BAUD_* bits 0x1..0x40000 (bit n: rate n); 134.5 baud is
// set as 135.
extern const ULONG g_VcpStandardBaudRates[19];
