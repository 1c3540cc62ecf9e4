// ISerial: the serial port interface between the port driver (KwUSer36) and the bus
// driver (KwUBus36).
//
// The bus driver builds one record per serial channel and lends it to the port driver,
// which asks for it with IOCTL_CREATE_KWISERIAL and gives it back with
// IOCTL_RELEASE_KWISERIAL. Calls cross the driver boundary only through the record: the
// port driver calls the 24 operations, the bus driver calls the 9 callbacks the port
// driver wrote into it.
//
// The two drivers are built separately, so this declaration is a layout contract: field
// order, widths and natural alignment are fixed (checked at the end of this file for 64-
// and 32-bit pointers). A working pair always has the same pointer width. Append nothing
// and reorder nothing; a new field needs a new interface version.
//
// This header stays freestanding (platform include surface and framework base only), so
// the same declaration can be checked in every build, a 32-bit one included.
#pragma once

#include "jnmemorypool.h"
#include "kwplat/serial.h"

class CJnDataBuffer;
class CISerialProvider;

// The only interface version there is. The port driver asks for it; the bus driver builds
// nothing else.
#define KWISERIAL_INTERFACE_VERSION 5

// lSupportedBaudRates when the device gives no mask: the port driver then probes the
// standard rates with m_IsBaudRateSettableCallback.
#define KWISERIAL_BAUD_RATES_NOT_GIVEN ((LONG)-1)

// ---- internal device controls, sent by the port driver down its own stack ----
#define KWISERIAL_DEVICE_TYPE 0x8006
// Typed ULONG like IoControlCode: the device type sets the top bit.
#define IOCTL_CREATE_KWISERIAL \
    ((ULONG)CTL_CODE(KWISERIAL_DEVICE_TYPE, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS))
#define IOCTL_RELEASE_KWISERIAL \
    ((ULONG)CTL_CODE(KWISERIAL_DEVICE_TYPE, 0x802, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS))

struct ISerial;

// Input of IOCTL_CREATE_KWISERIAL (8 bytes).
typedef struct _CreateKwISerialRequestStruct {
    ULONG ulInterfaceVersion;  // KWISERIAL_INTERFACE_VERSION
    ULONG ulPortNumber;        // 1-based channel of the child device the request came through
} CreateKwISerialRequestStruct, *PCreateKwISerialRequestStruct;

// Output of IOCTL_CREATE_KWISERIAL: one pointer. Both sides use its sizeof as the output
// length (4 bytes on 32-bit builds, 8 on 64-bit ones).
typedef struct _CreateKwISerialResponseStruct {
    ISerial* pISerial;
} CreateKwISerialResponseStruct, *PCreateKwISerialResponseStruct;

// Input of IOCTL_RELEASE_KWISERIAL (no output): 8 bytes with 32-bit pointers, 16 with 64-bit.
typedef struct _ReleaseKwISerialRequestStruct {
    ULONG ulPortNumber;
    ISerial* pISerial;
} ReleaseKwISerialRequestStruct, *PReleaseKwISerialRequestStruct;

// The record. Every operation takes pImplementation first, every callback
// pCallbackContext first; all return TRUE for success. An operation the channel does not
// offer is null.
struct ISerial : public CJnObject {
    // The record is owned and deleted by the bus driver; the port driver never touches
    // the object header.
    virtual ~ISerial() {}

    CISerialProvider* pImplementation = nullptr;  // the channel engine
    PVOID pCallbackContext = nullptr;  // the port driver's callback object; no callbacks while null

    // Capabilities. 1 means present; operations 10, 11, 12 and 17 exist only when their
    // gate is 1.
    BOOLEAN bIs422485 = FALSE;  // RS-422/485 channel; gates operation 10
    LONG lSupportedBaudRates = KWISERIAL_BAUD_RATES_NOT_GIVEN;  // SERIAL_BAUD_* mask, or -1
    BOOLEAN bExtendedCharacterProcessing = FALSE;  // gates operation 17
    BOOLEAN bReadEepromSupported = FALSE;   // gates operation 11
    BOOLEAN bWriteEepromSupported = FALSE;  // gates operation 12
    BOOLEAN bCtsSupported = FALSE;
    BOOLEAN bRtsSupported = FALSE;
    BOOLEAN bDsrSupported = FALSE;
    BOOLEAN bDtrSupported = FALSE;
    BOOLEAN bDcdSupported = FALSE;
    BOOLEAN bRiSupported = FALSE;

    // ---- operations 0..23, called by the port driver ----
    BOOLEAN (*m_ConnectCallback)(CISerialProvider* pImplementation) = nullptr;     // 0
    BOOLEAN (*m_DisconnectCallback)(CISerialProvider* pImplementation) = nullptr;  // 1
    // 2: the buffer belongs to the bus driver from this call on, whatever the result.
    BOOLEAN (*m_PortWriteCallback)(CISerialProvider* pImplementation, CJnDataBuffer* pBuffer) = nullptr;
    BOOLEAN (*m_RtsCallback)(CISerialProvider* pImplementation, BOOLEAN bOn) = nullptr;  // 3
    BOOLEAN (*m_DtrCallback)(CISerialProvider* pImplementation, BOOLEAN bOn) = nullptr;  // 4
    // 5: data bits 0 = 5, 1 = 6, 2 = 7, other = 8; parity 0 none, 1 odd, 2 even, 3 mark,
    // 4 space; stop bits 0 = 1, 1 = 1.5, 2 = 2.
    BOOLEAN (*m_CommSettingsCallback)(CISerialProvider* pImplementation, ULONG ulDataBits, ULONG ulParity,
                                      ULONG ulStopBits) = nullptr;
    BOOLEAN (*m_BaudrateCallback)(CISerialProvider* pImplementation, ULONG ulBaudRate) = nullptr;  // 6
    BOOLEAN (*m_TriggerLevelsCallback)(CISerialProvider* pImplementation, UCHAR ucTxTriggerLevel,
                                       UCHAR ucRxTriggerLevel, UCHAR ucRxFlowTriggerLevel) = nullptr;  // 7
    BOOLEAN (*m_HandshakingSettingsCallback)(CISerialProvider* pImplementation, BOOLEAN bCtsOutputFlowControl,
                                             BOOLEAN bRtsInputFlowControl, BOOLEAN bDsrOutputFlowControl,
                                             BOOLEAN bDtrInputFlowControl, BOOLEAN bDsrInputSensitivity,
                                             BOOLEAN bRtsToggle, BOOLEAN bXonXoffOutputFlowControl,
                                             BOOLEAN bXonXoffInputFlowControl, BOOLEAN bXoffContinue,
                                             BOOLEAN bErrorCharacterReplacement, BOOLEAN bNullStripping,
                                             BOOLEAN bBreakCharacterReplacement) = nullptr;  // 8
    BOOLEAN (*m_InternalLoopbackCallback)(CISerialProvider* pImplementation, BOOLEAN bOn) = nullptr;  // 9
    BOOLEAN (*m_DuplexModeSettingsCallback)(CISerialProvider* pImplementation, ULONG ulDuplexMode,
                                            BOOLEAN bCtsTrue) = nullptr;  // 10
    BOOLEAN (*m_ReadEepromCallback)(CISerialProvider* pImplementation, ULONG ulStartOffset, ULONG ulLength,
                                    PUCHAR pucBuffer) = nullptr;  // 11
    BOOLEAN (*m_WriteEepromCallback)(CISerialProvider* pImplementation, ULONG ulStartOffset, ULONG ulLength,
                                     PUCHAR pucBuffer) = nullptr;  // 12
    BOOLEAN (*m_SetBreakCallback)(CISerialProvider* pImplementation, BOOLEAN bOn) = nullptr;  // 13
    BOOLEAN (*m_PurgeCallback)(CISerialProvider* pImplementation, BOOLEAN bPurgeTransmit,
                               BOOLEAN bPurgeReceive) = nullptr;  // 14
    BOOLEAN (*m_IsBaudRateSettableCallback)(CISerialProvider* pImplementation, ULONG ulBaudRate) = nullptr;  // 15
    BOOLEAN (*m_SetSpecialCharactersCallback)(CISerialProvider* pImplementation, UCHAR ucBreakChar, UCHAR ucEofChar,
                                              UCHAR ucErrorChar, UCHAR ucEventChar, UCHAR ucXonChar,
                                              UCHAR ucXoffChar) = nullptr;  // 16
    BOOLEAN (*m_LsrMstInsertCallback)(CISerialProvider* pImplementation, UCHAR ucEscapeChar) = nullptr;  // 17
    BOOLEAN (*m_PretendXoffReceivedCallback)(CISerialProvider* pImplementation, BOOLEAN bXoff) = nullptr;  // 18
    BOOLEAN (*m_SendImmediateCharacterCallback)(CISerialProvider* pImplementation, UCHAR ucChar) = nullptr;  // 19
    BOOLEAN (*m_GetFifoSizesCallback)(CISerialProvider* pImplementation, PULONG pulTxFifoSize,
                                      PULONG pulRxFifoSize) = nullptr;  // 20
    BOOLEAN (*m_UpdateModemStatusCallback)(CISerialProvider* pImplementation) = nullptr;  // 21
    BOOLEAN (*m_SendXonXoffCallback)(CISerialProvider* pImplementation, BOOLEAN bSendXoff) = nullptr;  // 22
    BOOLEAN (*m_GetMaximumBaudRateCallback)(CISerialProvider* pImplementation, PULONG pulMaximumBaudRate) = nullptr;  // 23

    // ---- callbacks 0..8, written by the port driver, called by the bus driver ----
    // 0: the buffer belongs to the port driver from this call on.
    BOOLEAN (*m_DataReceivedCallback)(PVOID pCallbackContext, CJnDataBuffer* pBuffer) = nullptr;
    BOOLEAN (*m_ReservedCallback)(PVOID pCallbackContext) = nullptr;  // 1
    BOOLEAN (*m_LineStatusCallback)(PVOID pCallbackContext, BOOLEAN bOverrunError, BOOLEAN bParityError,
                                    BOOLEAN bFramingError, BOOLEAN bBreak, BOOLEAN bDataReady,
                                    BOOLEAN bTransmitterHoldingRegisterEmpty, BOOLEAN bTransmitterEmpty,
                                    BOOLEAN bReceiveFifoError) = nullptr;  // 2
    BOOLEAN (*m_ModemStatusCallback)(PVOID pCallbackContext, BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi,
                                     BOOLEAN bRiTrailingEdge, BOOLEAN bDcd) = nullptr;  // 3
    BOOLEAN (*m_DataWrittenCallback)(PVOID pCallbackContext, ULONG ulBytesWritten) = nullptr;  // 4
    BOOLEAN (*m_ImmediateCharacterSentCallback)(PVOID pCallbackContext) = nullptr;  // 5
    BOOLEAN (*m_XoffHoldingCallback)(PVOID pCallbackContext, BOOLEAN bHolding) = nullptr;  // 6
    BOOLEAN (*m_XoffSentCallback)(PVOID pCallbackContext, BOOLEAN bXoffSent) = nullptr;  // 7
    // 8: may be called at DISPATCH_LEVEL.
    BOOLEAN (*m_AvailableReceiveBufferSizeCallback)(PVOID pCallbackContext, ULONG ulBytesToDeliver, ULONG ulReserve,
                                                    PULONG pulFreeSpace) = nullptr;
};

// Base of a bus-side channel engine: owns the channel's record and implements the
// operations. The record's operation pointers are the static entry points below; each
// calls the virtual method of the same position. An operation a provider does not
// override refuses (FALSE).
class CISerialProvider : public CJnObject {
public:
    CISerialProvider() : m_pPortProvider(nullptr) {}
    // Deletes the record: it lives exactly as long as its provider.
    virtual ~CISerialProvider();

    virtual BOOLEAN m_Init() = 0;
    virtual BOOLEAN m_DeInit() = 0;

    // Builds the channel's record; null when the provider already has one, the version is
    // not KWISERIAL_INTERFACE_VERSION or the pool is exhausted. The line-support bytes
    // come in the order CTS, RTS, DTR, DSR, DCD, RI.
    virtual ISerial* m_CreateInterface(ULONG ulInterfaceVersion, BOOLEAN bIs422485, LONG lSupportedBaudRates,
                                       BOOLEAN bExtendedCharacterProcessing, BOOLEAN bReadEepromSupported,
                                       BOOLEAN bWriteEepromSupported, BOOLEAN bCtsSupported, BOOLEAN bRtsSupported,
                                       BOOLEAN bDtrSupported, BOOLEAN bDsrSupported, BOOLEAN bDcdSupported,
                                       BOOLEAN bRiSupported);

    // ---- operations 0..23 ----
    virtual BOOLEAN m_ConnectCallback() { return FALSE; }
    virtual BOOLEAN m_DisconnectCallback() { return FALSE; }
    // A provider that takes the buffer owns it; this default deletes it.
    virtual BOOLEAN m_PortWriteCallback(CJnDataBuffer* pBuffer);
    virtual BOOLEAN m_RtsCallback(BOOLEAN bOn) { return FALSE; }
    virtual BOOLEAN m_DtrCallback(BOOLEAN bOn) { return FALSE; }
    virtual BOOLEAN m_CommSettingsCallback(ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits) { return FALSE; }
    virtual BOOLEAN m_BaudrateCallback(ULONG ulBaudRate) { return FALSE; }
    virtual BOOLEAN m_TriggerLevelsCallback(UCHAR ucTxTriggerLevel, UCHAR ucRxTriggerLevel, UCHAR ucRxFlowTriggerLevel)
    {
        return FALSE;
    }
    virtual BOOLEAN m_HandshakingSettingsCallback(BOOLEAN bCtsOutputFlowControl, BOOLEAN bRtsInputFlowControl,
                                                  BOOLEAN bDsrOutputFlowControl, BOOLEAN bDtrInputFlowControl,
                                                  BOOLEAN bDsrInputSensitivity, BOOLEAN bRtsToggle,
                                                  BOOLEAN bXonXoffOutputFlowControl, BOOLEAN bXonXoffInputFlowControl,
                                                  BOOLEAN bXoffContinue, BOOLEAN bErrorCharacterReplacement,
                                                  BOOLEAN bNullStripping, BOOLEAN bBreakCharacterReplacement)
    {
        return FALSE;
    }
    virtual BOOLEAN m_InternalLoopbackCallback(BOOLEAN bOn) { return FALSE; }
    virtual BOOLEAN m_DuplexModeSettingsCallback(ULONG ulDuplexMode, BOOLEAN bCtsTrue) { return FALSE; }
    virtual BOOLEAN m_ReadEepromCallback(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer) { return FALSE; }
    virtual BOOLEAN m_WriteEepromCallback(ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer) { return FALSE; }
    virtual BOOLEAN m_SetBreakCallback(BOOLEAN bOn) { return FALSE; }
    virtual BOOLEAN m_PurgeCallback(BOOLEAN bPurgeTransmit, BOOLEAN bPurgeReceive) { return FALSE; }
    virtual BOOLEAN m_IsBaudRateSettableCallback(ULONG ulBaudRate) { return FALSE; }
    virtual BOOLEAN m_SetSpecialCharactersCallback(UCHAR ucBreakChar, UCHAR ucEofChar, UCHAR ucErrorChar,
                                                   UCHAR ucEventChar, UCHAR ucXonChar, UCHAR ucXoffChar)
    {
        return FALSE;
    }
    virtual BOOLEAN m_LsrMstInsertCallback(UCHAR ucEscapeChar) { return FALSE; }
    virtual BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN bXoff) { return FALSE; }
    virtual BOOLEAN m_SendImmediateCharacterCallback(UCHAR ucChar) { return FALSE; }
    virtual BOOLEAN m_GetFifoSizesCallback(PULONG pulTxFifoSize, PULONG pulRxFifoSize) { return FALSE; }
    virtual BOOLEAN m_UpdateModemStatusCallback() { return FALSE; }
    virtual BOOLEAN m_SendXonXoffCallback(BOOLEAN bSendXoff) { return FALSE; }
    virtual BOOLEAN m_GetMaximumBaudRateCallback(PULONG pulMaximumBaudRate) { return FALSE; }

    ISerial* m_GetInterface() const { return m_pPortProvider; }

protected:
    // The callbacks as the bus driver makes them: without a record, a callback context or
    // the callback itself the call is skipped and counts as FALSE. A received buffer whose
    // call is skipped is deleted, so ownership leaves the caller in every case.
    BOOLEAN m_CallDataReceived(CJnDataBuffer* pBuffer);
    BOOLEAN m_CallLineStatus(BOOLEAN bOverrunError, BOOLEAN bParityError, BOOLEAN bFramingError, BOOLEAN bBreak,
                             BOOLEAN bDataReady, BOOLEAN bTransmitterHoldingRegisterEmpty, BOOLEAN bTransmitterEmpty,
                             BOOLEAN bReceiveFifoError);
    BOOLEAN m_CallModemStatus(BOOLEAN bCts, BOOLEAN bDsr, BOOLEAN bRi, BOOLEAN bRiTrailingEdge, BOOLEAN bDcd);
    BOOLEAN m_CallDataWritten(ULONG ulBytesWritten);
    BOOLEAN m_CallImmediateCharacterSent();
    BOOLEAN m_CallXoffSent(BOOLEAN bXoffSent);
    BOOLEAN m_CallAvailableReceiveBufferSize(ULONG ulBytesToDeliver, ULONG ulReserve, PULONG pulFreeSpace);

    ISerial* m_pPortProvider;  // the channel's record; null until created

private:
    // An operation behind a gate is set only when its gate is 1.
    template <typename Operation>
    static void sm_SetGatedOperation(BOOLEAN bGate, Operation& slot, Operation entry);

    static BOOLEAN sm_ConnectCallback(CISerialProvider* p);
    static BOOLEAN sm_DisconnectCallback(CISerialProvider* p);
    static BOOLEAN sm_PortWriteCallback(CISerialProvider* p, CJnDataBuffer* pBuffer);
    static BOOLEAN sm_RtsCallback(CISerialProvider* p, BOOLEAN bOn);
    static BOOLEAN sm_DtrCallback(CISerialProvider* p, BOOLEAN bOn);
    static BOOLEAN sm_CommSettingsCallback(CISerialProvider* p, ULONG ulDataBits, ULONG ulParity, ULONG ulStopBits);
    static BOOLEAN sm_BaudrateCallback(CISerialProvider* p, ULONG ulBaudRate);
    static BOOLEAN sm_TriggerLevelsCallback(CISerialProvider* p, UCHAR ucTx, UCHAR ucRx, UCHAR ucRxFlow);
    static BOOLEAN sm_HandshakingSettingsCallback(CISerialProvider* p, BOOLEAN b0, BOOLEAN b1, BOOLEAN b2, BOOLEAN b3,
                                                  BOOLEAN b4, BOOLEAN b5, BOOLEAN b6, BOOLEAN b7, BOOLEAN b8,
                                                  BOOLEAN b9, BOOLEAN b10, BOOLEAN b11);
    static BOOLEAN sm_InternalLoopbackCallback(CISerialProvider* p, BOOLEAN bOn);
    static BOOLEAN sm_DuplexModeSettingsCallback(CISerialProvider* p, ULONG ulDuplexMode, BOOLEAN bCtsTrue);
    static BOOLEAN sm_ReadEepromCallback(CISerialProvider* p, ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer);
    static BOOLEAN sm_WriteEepromCallback(CISerialProvider* p, ULONG ulStartOffset, ULONG ulLength, PUCHAR pucBuffer);
    static BOOLEAN sm_SetBreakCallback(CISerialProvider* p, BOOLEAN bOn);
    static BOOLEAN sm_PurgeCallback(CISerialProvider* p, BOOLEAN bPurgeTransmit, BOOLEAN bPurgeReceive);
    static BOOLEAN sm_IsBaudRateSettableCallback(CISerialProvider* p, ULONG ulBaudRate);
    static BOOLEAN sm_SetSpecialCharactersCallback(CISerialProvider* p, UCHAR ucBreakChar, UCHAR ucEofChar,
                                                   UCHAR ucErrorChar, UCHAR ucEventChar, UCHAR ucXonChar,
                                                   UCHAR ucXoffChar);
    static BOOLEAN sm_LsrMstInsertCallback(CISerialProvider* p, UCHAR ucEscapeChar);
    static BOOLEAN sm_PretendXoffReceivedCallback(CISerialProvider* p, BOOLEAN bXoff);
    static BOOLEAN sm_SendImmediateCharacterCallback(CISerialProvider* p, UCHAR ucChar);
    static BOOLEAN sm_GetFifoSizesCallback(CISerialProvider* p, PULONG pulTxFifoSize, PULONG pulRxFifoSize);
    static BOOLEAN sm_UpdateModemStatusCallback(CISerialProvider* p);
    static BOOLEAN sm_SendXonXoffCallback(CISerialProvider* p, BOOLEAN bSendXoff);
    static BOOLEAN sm_GetMaximumBaudRateCallback(CISerialProvider* p, PULONG pulMaximumBaudRate);
};

// ---- the layout contract ----
static_assert(sizeof(CreateKwISerialRequestStruct) == 8, "CreateKwISerialRequestStruct");
static_assert(sizeof(CreateKwISerialResponseStruct) == sizeof(void*), "CreateKwISerialResponseStruct");
static_assert(sizeof(ReleaseKwISerialRequestStruct) == 2 * sizeof(void*), "ReleaseKwISerialRequestStruct");
static_assert(IOCTL_CREATE_KWISERIAL == 0x8006E004, "IOCTL_CREATE_KWISERIAL");
static_assert(IOCTL_RELEASE_KWISERIAL == 0x8006E008, "IOCTL_RELEASE_KWISERIAL");

// offsetof on a class with a virtual destructor is conditionally supported; GCC gives the
// layout it builds, which is the one being checked.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define KWISERIAL_AT(field, offset) static_assert(offsetof(ISerial, field) == (offset), "ISerial::" #field)
#if __SIZEOF_POINTER__ == 8
KWISERIAL_AT(pImplementation, 8);
KWISERIAL_AT(pCallbackContext, 16);
KWISERIAL_AT(bIs422485, 24);
KWISERIAL_AT(lSupportedBaudRates, 28);
KWISERIAL_AT(bExtendedCharacterProcessing, 32);
KWISERIAL_AT(bReadEepromSupported, 33);
KWISERIAL_AT(bWriteEepromSupported, 34);
KWISERIAL_AT(bCtsSupported, 35);
KWISERIAL_AT(bRtsSupported, 36);
KWISERIAL_AT(bDsrSupported, 37);
KWISERIAL_AT(bDtrSupported, 38);
KWISERIAL_AT(bDcdSupported, 39);
KWISERIAL_AT(bRiSupported, 40);
#  define KWISERIAL_OPERATIONS 48
#  define KWISERIAL_CALLBACKS 240
static_assert(sizeof(ISerial) == 312, "ISerial");
#elif __SIZEOF_POINTER__ == 4
KWISERIAL_AT(pImplementation, 4);
KWISERIAL_AT(pCallbackContext, 8);
KWISERIAL_AT(bIs422485, 12);
KWISERIAL_AT(lSupportedBaudRates, 16);
KWISERIAL_AT(bExtendedCharacterProcessing, 20);
KWISERIAL_AT(bReadEepromSupported, 21);
KWISERIAL_AT(bWriteEepromSupported, 22);
KWISERIAL_AT(bCtsSupported, 23);
KWISERIAL_AT(bRtsSupported, 24);
KWISERIAL_AT(bDsrSupported, 25);
KWISERIAL_AT(bDtrSupported, 26);
KWISERIAL_AT(bDcdSupported, 27);
KWISERIAL_AT(bRiSupported, 28);
#  define KWISERIAL_OPERATIONS 32
#  define KWISERIAL_CALLBACKS 128
static_assert(sizeof(ISerial) == 164, "ISerial");
#else
#  error "ISerial: unknown pointer width"
#endif
// Operations and callbacks follow each other without gaps, in table order.
KWISERIAL_AT(m_ConnectCallback, KWISERIAL_OPERATIONS + 0 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_DisconnectCallback, KWISERIAL_OPERATIONS + 1 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_PortWriteCallback, KWISERIAL_OPERATIONS + 2 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_RtsCallback, KWISERIAL_OPERATIONS + 3 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_DtrCallback, KWISERIAL_OPERATIONS + 4 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_CommSettingsCallback, KWISERIAL_OPERATIONS + 5 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_BaudrateCallback, KWISERIAL_OPERATIONS + 6 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_TriggerLevelsCallback, KWISERIAL_OPERATIONS + 7 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_HandshakingSettingsCallback, KWISERIAL_OPERATIONS + 8 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_InternalLoopbackCallback, KWISERIAL_OPERATIONS + 9 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_DuplexModeSettingsCallback, KWISERIAL_OPERATIONS + 10 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_ReadEepromCallback, KWISERIAL_OPERATIONS + 11 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_WriteEepromCallback, KWISERIAL_OPERATIONS + 12 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_SetBreakCallback, KWISERIAL_OPERATIONS + 13 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_PurgeCallback, KWISERIAL_OPERATIONS + 14 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_IsBaudRateSettableCallback, KWISERIAL_OPERATIONS + 15 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_SetSpecialCharactersCallback, KWISERIAL_OPERATIONS + 16 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_LsrMstInsertCallback, KWISERIAL_OPERATIONS + 17 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_PretendXoffReceivedCallback, KWISERIAL_OPERATIONS + 18 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_SendImmediateCharacterCallback, KWISERIAL_OPERATIONS + 19 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_GetFifoSizesCallback, KWISERIAL_OPERATIONS + 20 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_UpdateModemStatusCallback, KWISERIAL_OPERATIONS + 21 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_SendXonXoffCallback, KWISERIAL_OPERATIONS + 22 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_GetMaximumBaudRateCallback, KWISERIAL_OPERATIONS + 23 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_DataReceivedCallback, KWISERIAL_CALLBACKS + 0 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_ReservedCallback, KWISERIAL_CALLBACKS + 1 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_LineStatusCallback, KWISERIAL_CALLBACKS + 2 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_ModemStatusCallback, KWISERIAL_CALLBACKS + 3 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_DataWrittenCallback, KWISERIAL_CALLBACKS + 4 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_ImmediateCharacterSentCallback, KWISERIAL_CALLBACKS + 5 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_XoffHoldingCallback, KWISERIAL_CALLBACKS + 6 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_XoffSentCallback, KWISERIAL_CALLBACKS + 7 * __SIZEOF_POINTER__);
KWISERIAL_AT(m_AvailableReceiveBufferSizeCallback, KWISERIAL_CALLBACKS + 8 * __SIZEOF_POINTER__);
#undef KWISERIAL_OPERATIONS
#undef KWISERIAL_CALLBACKS
#undef KWISERIAL_AT
#pragma GCC diagnostic pop
