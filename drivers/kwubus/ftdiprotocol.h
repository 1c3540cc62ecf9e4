// The wire protocol of the FTDI-compatible USB UART: the vendor requests with their
// encodings, the baud-rate divisor search, the modem-control, flow-control and
// data-format words, the channel a bus device addresses, and the packets of a bulk-in
// transfer (two status bytes, then payload).
//
// Pure functions and one small parser, with no channel state: the port engine keeps the
// state, makes the requests and traces the results.
#pragma once

#include "kwplat/kernel.h"

// ---- vendor requests (control transfers: vendor type, interface recipient) ----
enum : UCHAR {
    FTDI_RESET = 0,
    FTDI_MODEM_CTRL = 1,
    FTDI_SET_FLOW_CTRL = 2,
    FTDI_SET_BAUD_RATE = 3,
    FTDI_SET_DATA = 4,
    FTDI_GET_MODEM_STATUS = 5,
    FTDI_SET_EVENT_CHAR = 6,
    FTDI_SET_ERROR_CHAR = 7,
    FTDI_SET_LATENCY_TIMER = 9,
    FTDI_READ_LATENCY_TIMER = 10,
};

// bmRequestType of the requests: vendor, interface recipient, by direction.
#define FTDI_REQUEST_TYPE_OUT 0x41
#define FTDI_REQUEST_TYPE_IN 0xC1

struct FTDI_VENDOR_REQUEST_INFO {
    UCHAR ucRequest;
    const char* pszName;       // as traces and the USB decoder show it
    BOOLEAN bIn;               // device to host
    USHORT usTransferLength;   // bytes asked for (in) or sent (out)
};
// The request's description; null for request codes the protocol does not use (8, 11 and
// above).
const FTDI_VENDOR_REQUEST_INFO* FtdiGetVendorRequestInfo(UCHAR ucRequest);

// A failed vendor request is tried again, with a port reset before each retry, only for
// these USB statuses (USBD_STATUS_XACT_ERROR, USBD_STATUS_CANCELED), and at most this
// many times in all.
#define FTDI_VENDOR_REQUEST_ATTEMPTS 10
BOOLEAN FtdiIsRetryableUsbStatus(LONG lUsbdStatus);

// ---- FTDI_RESET wValue ----
#define FTDI_RESET_CHANNEL 0   // both directions
#define FTDI_RESET_PURGE_TX 1
#define FTDI_RESET_PURGE_RX 2

// ---- FTDI_MODEM_CTRL wValue: high byte = lines to change, low byte = their levels ----
#define FTDI_MODEM_CTRL_DTR 0x01
#define FTDI_MODEM_CTRL_RTS 0x02
#define FTDI_MODEM_CTRL_DTR_ON 0x0101
#define FTDI_MODEM_CTRL_DTR_OFF 0x0100
#define FTDI_MODEM_CTRL_RTS_ON 0x0202
#define FTDI_MODEM_CTRL_RTS_OFF 0x0200
#define FTDI_MODEM_CTRL_BOTH_OFF 0x0300
#define FTDI_MODEM_CTRL_DTR_ON_RTS_OFF 0x0301
USHORT FtdiModemControlValue(BOOLEAN bChangeDtr, BOOLEAN bDtrOn, BOOLEAN bChangeRts, BOOLEAN bRtsOn);

// ---- FTDI_SET_FLOW_CTRL: characters in wValue, handshakes with the channel in wIndex ----
#define FTDI_FLOW_RTS_CTS 0x0100
#define FTDI_FLOW_DTR_DSR 0x0200
#define FTDI_FLOW_XON_XOFF 0x0400
USHORT FtdiFlowControlValue(UCHAR ucXonChar, UCHAR ucXoffChar);
USHORT FtdiFlowControlIndex(USHORT usChannelIndex, BOOLEAN bRtsCts, BOOLEAN bDtrDsr, BOOLEAN bXonXoff);

// ---- FTDI_SET_BAUD_RATE ----
#define FTDI_MAX_BAUD_RATE 3000000UL  // the chip's clock divided by 16: divisor 1
#define FTDI_DIVISOR_MASK 0x3FFF      // the integer part of the divisor has 14 bits

struct FTDI_BAUD_DIVISOR {
    USHORT usDivisor;          // wValue: integer divisor, sub-integer code bits 0-1 in bits 14-15
    USHORT usFraction;         // sub-integer code bit 2
    UCHAR ucCode;              // sub-integer code 0..7
    ULONG ulBestDifference;    // |requested - rate| of the chosen code, for the trace
};
// Searches the divisor for ulBaudRate. FALSE (nothing sent, the chip keeps its rate) for
// 0, rates above 3,000,000 or above ulMaximumBaudRate, rates whose integer divisor does not
// fit 14 bits (183 baud and below) and rates no sub-integer code generates within 1 %.
BOOLEAN FtdiFindBaudDivisor(ULONG ulBaudRate, ULONG ulMaximumBaudRate, FTDI_BAUD_DIVISOR* pDivisor);
// wIndex of the request: on one interface of a composite device the fraction goes in the
// high byte and the channel in the low byte; otherwise wIndex is the fraction alone.
USHORT FtdiBaudRateIndex(USHORT usFraction, USHORT usChannelIndex, BOOLEAN bComposite);

// ---- FTDI_SET_DATA wValue ----
#define FTDI_DATA_BREAK 0x4000
// Data bits code 0 = 5, 1 = 6, 2 = 7, any other = 8; parity code 0 none, 1 odd, 2 even,
// 3 mark, 4 space; stop-bits code 0 = 1, 1 = 1.5, 2 = 2. FALSE for a parity or stop-bits
// code the word cannot express.
BOOLEAN FtdiDataFormatValue(ULONG ulDataBitsCode, ULONG ulParityCode, ULONG ulStopBitsCode, BOOLEAN bBreak,
                            USHORT* pusValue);

// ---- FTDI_SET_EVENT_CHAR / FTDI_SET_ERROR_CHAR wValue ----
#define FTDI_SPECIAL_CHAR_ENABLED 0x0100
USHORT FtdiSpecialCharValue(UCHAR ucChar, BOOLEAN bEnabled);

// ---- FTDI_SET_LATENCY_TIMER wValue, in milliseconds ----
#define FTDI_LATENCY_MIN 1
#define FTDI_LATENCY_MAX 255

// ---- the channel a bus device addresses (low byte of every request's wIndex) ----
struct FTDI_CHANNEL {
    USHORT usChannelIndex;  // 1, or interface number + 1 on a composite device
    BOOLEAN bComposite;     // the hardware ID names an interface ("&MI_")
};
// From the first hardware ID of the bus device's physical device object, read up to its
// terminating zero or cchMaximum characters: case-insensitively "&MI_" followed by two
// hexadecimal digits n gives channel n + 1; without two valid digits the channel is 1, but
// the device still counts as composite.
FTDI_CHANNEL FtdiChannelFromHardwareId(PCWSTR pwszHardwareId, ULONG cchMaximum);

// ---- RS-422/485 channels: one PortType bit per port number ----
#define KW_MAX_PORT_NUMBER 32
// The PortType bit of a port (bit ulPortNumber - 1). FALSE for port numbers outside
// 1..32, which name no bit.
BOOLEAN FtdiPortIs422485(ULONG ulPortType, ULONG ulPortNumber, BOOLEAN* pbIs422485);

// ---- incoming packets ----
#define FTDI_PACKET_SIZE 64
#define FTDI_STATUS_SIZE 2
#define FTDI_PACKET_PAYLOAD (FTDI_PACKET_SIZE - FTDI_STATUS_SIZE)

// Byte 0, modem status. The low nibble is always 1 in a valid packet.
#define FTDI_MODEM_STATUS_MARK_MASK 0x0F
#define FTDI_MODEM_STATUS_MARK 0x01
#define FTDI_MODEM_STATUS_RI_TRAILING_EDGE 0x04  // not sent by the chip; used inside the driver
#define FTDI_MODEM_STATUS_CTS 0x10
#define FTDI_MODEM_STATUS_DSR 0x20
#define FTDI_MODEM_STATUS_RI 0x40
#define FTDI_MODEM_STATUS_DCD 0x80
// Byte 1, line status.
#define FTDI_LINE_STATUS_DR 0x01
#define FTDI_LINE_STATUS_OE 0x02
#define FTDI_LINE_STATUS_PE 0x04
#define FTDI_LINE_STATUS_FE 0x08
#define FTDI_LINE_STATUS_BI 0x10
#define FTDI_LINE_STATUS_THRE 0x20
#define FTDI_LINE_STATUS_TEMT 0x40
#define FTDI_LINE_STATUS_RXFIFO_ERROR 0x80

struct FTDI_PACKET_STATUS {
    UCHAR ucModemStatus;
    UCHAR ucLineStatus;
    ULONG ulPacket;       // 0 for the first packet of the transfer
    BOOLEAN bStatusOnly;  // the packet carried no payload
};

// Walks the packets of one completed bulk-in transfer in place. Each m_NextPacket hands
// out one packet's status bytes and moves its payload down to follow the payload before
// it, so that afterwards the buffer starts with m_GetPayloadLength() bytes of data. The
// walk ends at a packet whose modem-status low nibble is not 1 (it and the rest of the
// transfer are dropped), after a short packet, and after a packet of status bytes only.
class CFTDITransferParser {
public:
    CFTDITransferParser(PUCHAR pucTransfer, ULONG ulLength);

    // A transfer needs at least the two status bytes.
    BOOLEAN m_IsValid() const { return m_ulLength >= FTDI_STATUS_SIZE; }
    // TRUE with the next packet's status; FALSE when the walk is over.
    BOOLEAN m_NextPacket(FTDI_PACKET_STATUS* pStatus);
    ULONG m_GetPayloadLength() const { return m_ulPayload; }

private:
    PUCHAR m_pucTransfer;
    ULONG m_ulLength;
    ULONG m_ulOffset;   // start of the next packet
    ULONG m_ulPayload;  // payload bytes collected at the front
    ULONG m_ulPacket;
    BOOLEAN m_bDone;
};
