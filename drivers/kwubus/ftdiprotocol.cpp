#include "ftdiprotocol.h"

namespace {

const FTDI_VENDOR_REQUEST_INFO kVendorRequests[] = {
    {FTDI_RESET, "FTDI_RESET", FALSE, 0},
    {FTDI_MODEM_CTRL, "FTDI_MODEM_CTRL", FALSE, 0},
    {FTDI_SET_FLOW_CTRL, "FTDI_SET_FLOW_CTRL", FALSE, 0},
    {FTDI_SET_BAUD_RATE, "FTDI_SET_BAUD_RATE", FALSE, 0},
    {FTDI_SET_DATA, "FTDI_SET_DATA", FALSE, 0},
    {FTDI_GET_MODEM_STATUS, "FTDI_GET_MODEM_STATUS", TRUE, 2},
    {FTDI_SET_EVENT_CHAR, "FTDI_SET_EVENT_CHAR", FALSE, 0},
    {FTDI_SET_ERROR_CHAR, "FTDI_SET_ERROR_CHAR", FALSE, 0},
    {FTDI_SET_LATENCY_TIMER, "FTDI_SET_LATENCY_TIMER", FALSE, 0},
    {FTDI_READ_LATENCY_TIMER, "FTDI_READ_LATENCY_TIMER", TRUE, 2},
};

const LONG kUsbdStatusXactError = static_cast<LONG>(0xC0000011);
const LONG kUsbdStatusCanceled = static_cast<LONG>(0xC0010000);

// The chip divides its 3 MHz baud clock by D + e/8: the integer divisor D and an eighth
// e picked by a 3-bit sub-integer code. Indexed by code.
const ULONG kCodeEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};

// Is |B - 24,000,000 / (8D + e)| within 1 % of B? Exact, in integers.
bool GeneratedWithinOnePercent(ULONG baudRate, ULONG divisor, ULONG eighths)
{
    ULONGLONG units = 8ULL * divisor + eighths;  // the divisor in eighths
    ULONGLONG scaled = static_cast<ULONGLONG>(baudRate) * units;
    const ULONGLONG clock = 8ULL * FTDI_MAX_BAUD_RATE;
    ULONGLONG difference = scaled > clock ? scaled - clock : clock - scaled;
    return difference * 100 <= scaled;
}

}  // namespace

const FTDI_VENDOR_REQUEST_INFO* FtdiGetVendorRequestInfo(UCHAR ucRequest)
{
    for (const FTDI_VENDOR_REQUEST_INFO& info : kVendorRequests)
        if (info.ucRequest == ucRequest) return &info;
    return nullptr;
}

BOOLEAN FtdiIsRetryableUsbStatus(LONG lUsbdStatus)
{
    return lUsbdStatus == kUsbdStatusXactError || lUsbdStatus == kUsbdStatusCanceled;
}

USHORT FtdiModemControlValue(BOOLEAN bChangeDtr, BOOLEAN bDtrOn, BOOLEAN bChangeRts, BOOLEAN bRtsOn)
{
    USHORT mask = 0, levels = 0;
    if (bChangeDtr) {
        mask |= FTDI_MODEM_CTRL_DTR;
        if (bDtrOn) levels |= FTDI_MODEM_CTRL_DTR;
    }
    if (bChangeRts) {
        mask |= FTDI_MODEM_CTRL_RTS;
        if (bRtsOn) levels |= FTDI_MODEM_CTRL_RTS;
    }
    return static_cast<USHORT>(mask << 8 | levels);
}

USHORT FtdiFlowControlValue(UCHAR ucXonChar, UCHAR ucXoffChar) { return static_cast<USHORT>(ucXonChar | ucXoffChar << 8); }

USHORT FtdiFlowControlIndex(USHORT usChannelIndex, BOOLEAN bRtsCts, BOOLEAN bDtrDsr, BOOLEAN bXonXoff)
{
    // The channel owns the low byte only; the handshake bits sit above it.
    USHORT index = usChannelIndex & 0xFF;
    if (bRtsCts) index |= FTDI_FLOW_RTS_CTS;
    if (bDtrDsr) index |= FTDI_FLOW_DTR_DSR;
    if (bXonXoff) index |= FTDI_FLOW_XON_XOFF;
    return index;
}

BOOLEAN FtdiFindBaudDivisor(ULONG ulBaudRate, ULONG ulMaximumBaudRate, FTDI_BAUD_DIVISOR* pDivisor)
{
    if (ulBaudRate == 0 || ulBaudRate > FTDI_MAX_BAUD_RATE || ulBaudRate > ulMaximumBaudRate) return FALSE;
    const ULONG divisor = FTDI_MAX_BAUD_RATE / ulBaudRate;
    // Below 184 baud the integer divisor needs more than 14 bits; the bits that would not
    // reach the chip would make it run at some other rate (75 baud at about 415).
    if (divisor > FTDI_DIVISOR_MASK) return FALSE;

    // Codes are ranked, in order 0..7 with ties to the lower code, by the rate the
    // protocol has always computed for them (eighths in truncated hundredths, integer
    // divisions), so every rate keeps its established divisor word. Whether a code is
    // good enough is decided on the rate the chip really generates from it: the rounded
    // figures misjudge rates right at the 1 % limit in both directions.
    ULONG best = ulBaudRate;
    int chosen = -1;
    for (int code = 0; code < 8; code++) {
        const ULONG eighths = kCodeEighths[code];
        const ULONG rate = 300000000UL / (divisor * 100 + eighths * 100 / 8);
        const ULONG error = ulBaudRate > rate ? ulBaudRate - rate : rate - ulBaudRate;
        if (!GeneratedWithinOnePercent(ulBaudRate, divisor, eighths) || error >= best) continue;
        best = error;
        chosen = code;
    }
    if (chosen < 0) return FALSE;

    pDivisor->usDivisor = static_cast<USHORT>((divisor & FTDI_DIVISOR_MASK) | ((chosen & 3) << 14));
    pDivisor->usFraction = static_cast<USHORT>(chosen >> 2);
    pDivisor->ucCode = static_cast<UCHAR>(chosen);
    pDivisor->ulBestDifference = best;
    return TRUE;
}

USHORT FtdiBaudRateIndex(USHORT usFraction, USHORT usChannelIndex, BOOLEAN bComposite)
{
    if (!bComposite) return usFraction;
    return static_cast<USHORT>(usFraction << 8 | (usChannelIndex & 0xFF));
}

BOOLEAN FtdiDataFormatValue(ULONG ulDataBitsCode, ULONG ulParityCode, ULONG ulStopBitsCode, BOOLEAN bBreak,
                            USHORT* pusValue)
{
    // Codes outside the word's fields would spill into the neighbouring field and give the
    // chip a setting nobody asked for.
    if (ulParityCode > 4 || ulStopBitsCode > 2) return FALSE;
    USHORT bits = ulDataBitsCode <= 2 ? static_cast<USHORT>(5 + ulDataBitsCode) : 8;
    USHORT value = static_cast<USHORT>(bits | ulParityCode << 8 | ulStopBitsCode << 11);
    if (bBreak) value |= FTDI_DATA_BREAK;
    *pusValue = value;
    return TRUE;
}

USHORT FtdiSpecialCharValue(UCHAR ucChar, BOOLEAN bEnabled)
{
    return static_cast<USHORT>(ucChar | (bEnabled ? FTDI_SPECIAL_CHAR_ENABLED : 0));
}

namespace {

WCHAR Upcase(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

int HexDigit(WCHAR c)
{
    c = Upcase(c);
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

FTDI_CHANNEL FtdiChannelFromHardwareId(PCWSTR pwszHardwareId, ULONG cchMaximum)
{
    FTDI_CHANNEL channel = {1, FALSE};
    if (!pwszHardwareId) return channel;
    ULONG length = 0;
    while (length < cchMaximum && pwszHardwareId[length]) length++;

    static const char kMarker[] = "&MI_";
    const ULONG markerLength = sizeof kMarker - 1;
    for (ULONG i = 0; i + markerLength <= length; i++) {
        ULONG k = 0;
        while (k < markerLength && Upcase(pwszHardwareId[i + k]) == static_cast<WCHAR>(kMarker[k])) k++;
        if (k < markerLength) continue;
        channel.bComposite = TRUE;
        ULONG at = i + markerLength;
        int high = at + 2 <= length ? HexDigit(pwszHardwareId[at]) : -1;
        int low = at + 2 <= length ? HexDigit(pwszHardwareId[at + 1]) : -1;
        if (high >= 0 && low >= 0) channel.usChannelIndex = static_cast<USHORT>(high * 16 + low + 1);
        return channel;
    }
    return channel;
}

BOOLEAN FtdiPortIs422485(ULONG ulPortType, ULONG ulPortNumber, BOOLEAN* pbIs422485)
{
    if (ulPortNumber == 0 || ulPortNumber > KW_MAX_PORT_NUMBER) return FALSE;
    *pbIs422485 = (ulPortType >> (ulPortNumber - 1)) & 1 ? TRUE : FALSE;
    return TRUE;
}

CFTDITransferParser::CFTDITransferParser(PUCHAR pucTransfer, ULONG ulLength)
    : m_pucTransfer(pucTransfer), m_ulLength(pucTransfer ? ulLength : 0), m_ulOffset(0), m_ulPayload(0),
      m_ulPacket(0), m_bDone(FALSE)
{
}

BOOLEAN CFTDITransferParser::m_NextPacket(FTDI_PACKET_STATUS* pStatus)
{
    if (m_bDone) return FALSE;
    ULONG remaining = m_ulLength - m_ulOffset;
    PUCHAR packet = m_pucTransfer + m_ulOffset;
    if (remaining < FTDI_STATUS_SIZE || (packet[0] & FTDI_MODEM_STATUS_MARK_MASK) != FTDI_MODEM_STATUS_MARK) {
        m_bDone = TRUE;
        return FALSE;
    }
    pStatus->ucModemStatus = packet[0];
    pStatus->ucLineStatus = packet[1];
    pStatus->ulPacket = m_ulPacket++;
    pStatus->bStatusOnly = remaining == FTDI_STATUS_SIZE;

    ULONG packetLength = remaining < FTDI_PACKET_SIZE ? remaining : FTDI_PACKET_SIZE;
    ULONG payload = packetLength - FTDI_STATUS_SIZE;
    // The payload only ever moves down, over status bytes already read.
    if (payload) RtlMoveMemory(m_pucTransfer + m_ulPayload, packet + FTDI_STATUS_SIZE, payload);
    m_ulPayload += payload;
    if (remaining > FTDI_PACKET_SIZE)
        m_ulOffset += FTDI_PACKET_SIZE;
    else
        m_bDone = TRUE;
    return TRUE;
}
