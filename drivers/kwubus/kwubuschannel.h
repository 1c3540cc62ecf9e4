// What the bus driver does for IOCTL_CREATE_KWISERIAL once the request's buffers are
// checked: a new channel engine for the port number, initialised, fed the bus
// parameters, and the channel's ISerial record built.
#pragma once

#include "ftdi1port.h"

// The bus parameters that reach a channel engine.
struct KW_BUS_CHANNEL_PARAMETERS {
    ULONG ulPolicyType;
    ULONG ulMaximumLatency;
    ULONG ulMaximumLatencyFineTuning;
    ULONG ulLowCpuUsageFineTuning;
    ULONG ulRxFifoSize;
    ULONG ulTxFifoSize;
    ULONG ulMaximumBaudRate;
    ULONG ulPortType;  // bit n-1: port n is an RS-422/485 channel
};

// STATUS_SUCCESS with the engine and its record (the record lives as long as the
// engine), or STATUS_UNSUCCESSFUL with nothing left behind. Without parameters (the
// device has no parameter set yet) the engine keeps its defaults and the channel is
// RS-232.
NTSTATUS KwUBusCreateChannel(CKwUsbBusDevice* pBusDevice, ULONG ulPortNumber,
                             const KW_BUS_CHANNEL_PARAMETERS* pParameters, CFTDI1Port** ppEngine, ISerial** ppRecord);
