#include "simchip/chipprotocol.h"

#include <algorithm>
#include <cstdlib>

namespace kwsim::chip {

namespace {

// Sub-integer code -> fraction of the divisor, in eighths: 0, 1/2, 1/4, 1/8, 3/8, 5/8,
// 3/4, 7/8.
constexpr uint32_t kSubIntegerEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};

}  // namespace

uint32_t BaudSetting::DivisorEighths() const { return integer == 0 ? 8 : integer * 8 + eighths; }

double BaudSetting::Rate() const { return 8.0 * kBaudClock / DivisorEighths(); }

bool BaudSetting::Within(uint32_t requested, uint32_t percent) const
{
    // |requested - 8 * clock / d| <= percent/100 * requested, multiplied through by 100 * d.
    const int64_t d = DivisorEighths();
    const int64_t scaled = int64_t{requested} * d;
    const int64_t difference = std::llabs(scaled - int64_t{8} * kBaudClock);
    return difference * 100 <= int64_t{percent} * scaled;
}

BaudSetting DecodeBaudDivisor(uint16_t divisorWord, uint16_t fractionWord)
{
    const unsigned code = (divisorWord >> 14) | ((fractionWord & 1u) << 2);
    return BaudSetting{uint32_t{divisorWord} & 0x3FFFu, kSubIntegerEighths[code]};
}

BaudRequest DecodeBaudRequest(uint16_t wValue, uint16_t wIndex, bool composite)
{
    if (composite) return {DecodeBaudDivisor(wValue, wIndex >> 8), static_cast<uint8_t>(wIndex & 0xFF)};
    return {DecodeBaudDivisor(wValue, wIndex), 0};
}

std::optional<LineFormat> DecodeDataFormat(uint16_t wValue)
{
    LineFormat format;
    format.dataBits = wValue & 0xFF;
    const unsigned parity = (wValue >> 8) & 0x7;
    const unsigned stop = (wValue >> 11) & 0x7;
    if (format.dataBits < 5 || format.dataBits > 8 || parity > 4 || stop > 2) return std::nullopt;
    format.parity = static_cast<Parity>(parity);
    format.stopBits = static_cast<StopBits>(stop);
    format.breakOn = (wValue & 0x4000) != 0;
    return format;
}

FlowControl DecodeFlowControl(uint16_t wValue, uint16_t wIndex)
{
    FlowControl flow;
    flow.xonChar = static_cast<uint8_t>(wValue & 0xFF);
    flow.xoffChar = static_cast<uint8_t>(wValue >> 8);
    flow.channel = static_cast<uint8_t>(wIndex & 0xFF);
    flow.rtsCts = (wIndex & 0x0100) != 0;
    flow.dtrDsr = (wIndex & 0x0200) != 0;
    flow.xonXoff = (wIndex & 0x0400) != 0;
    return flow;
}

ModemControl DecodeModemControl(uint16_t wValue)
{
    const unsigned select = wValue >> 8;
    return {(select & 0x01) != 0, (wValue & 0x01) != 0, (select & 0x02) != 0, (wValue & 0x02) != 0};
}

ModemLines ApplyModemControl(ModemLines lines, uint16_t wValue)
{
    const ModemControl c = DecodeModemControl(wValue);
    if (c.setDtr) lines.dtr = c.dtr;
    if (c.setRts) lines.rts = c.rts;
    return lines;
}

uint8_t ModemStatusByte(const ModemStatus& s)
{
    return static_cast<uint8_t>(0x01 | (s.cts ? 0x10 : 0) | (s.dsr ? 0x20 : 0) | (s.ri ? 0x40 : 0) | (s.dcd ? 0x80 : 0));
}

uint8_t LineStatusByte(const LineStatus& s)
{
    return static_cast<uint8_t>((s.dataReady ? 0x01 : 0) | (s.overrun ? 0x02 : 0) | (s.parity ? 0x04 : 0) |
                                (s.framing ? 0x08 : 0) | (s.breakInterrupt ? 0x10 : 0) | (s.holdingEmpty ? 0x20 : 0) |
                                (s.transmitterEmpty ? 0x40 : 0) | (s.fifoError ? 0x80 : 0));
}

std::optional<ModemStatus> DecodeModemStatus(uint8_t b)
{
    if ((b & 0x0F) != 0x01) return std::nullopt;
    return ModemStatus{(b & 0x10) != 0, (b & 0x20) != 0, (b & 0x40) != 0, (b & 0x80) != 0};
}

LineStatus DecodeLineStatus(uint8_t b)
{
    return LineStatus{(b & 0x01) != 0, (b & 0x02) != 0, (b & 0x04) != 0, (b & 0x08) != 0,
                      (b & 0x10) != 0, (b & 0x20) != 0, (b & 0x40) != 0, (b & 0x80) != 0};
}

void AppendPacket(std::vector<uint8_t>& transfer, uint8_t modemStatus, uint8_t lineStatus,
                  std::span<const uint8_t> payload)
{
    payload = payload.first(std::min(payload.size(), kPayloadPerPacket));
    transfer.push_back(modemStatus);
    transfer.push_back(lineStatus);
    transfer.insert(transfer.end(), payload.begin(), payload.end());
}

std::vector<uint8_t> BuildPackets(uint8_t modemStatus, uint8_t lineStatus, std::span<const uint8_t> payload)
{
    std::vector<uint8_t> transfer;
    do {
        const size_t n = std::min(payload.size(), kPayloadPerPacket);
        AppendPacket(transfer, modemStatus, lineStatus, payload.first(n));
        payload = payload.subspan(n);
    } while (!payload.empty());
    return transfer;
}

}  // namespace kwsim::chip
