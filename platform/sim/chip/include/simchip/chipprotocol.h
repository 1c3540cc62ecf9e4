// The chip's side of the FTDI-compatible USB UART protocol: how the chip reads the words
// of the vendor requests it receives, and how it frames what it sends on its bulk-in
// endpoint. The chip model builds on this; tests use it as the independent other end of
// the driver's protocol code.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "simwire/frame.h"

namespace kwsim::chip {

// ---- baud-rate generator ----
// A 48 MHz clock divided by 16 feeds a divisor of 14 integer bits plus one eighth chosen
// by a 3-bit sub-integer code.
inline constexpr uint32_t kBaudClock = 3'000'000;

struct BaudSetting {
    uint32_t integer = 0;  // 0..0x3FFF
    uint32_t eighths = 0;  // 0..7

    // The divisor counted in eighths. An integer part of 0 runs the generator at its
    // fastest, as a divisor of exactly 1 does.
    uint32_t DivisorEighths() const;
    // The rate the line actually runs at.
    double Rate() const;
    // Its exact bit period: one eighth of the divisor is 1/24 us, 5/12 of a 100-ns tick.
    wire::Rate BitPeriod() const { return wire::Rate::Ticks(5 * uint64_t(DivisorEighths()), 12); }
    // Whether the line's rate lies within `percent` % of `requested` (exact arithmetic).
    bool Within(uint32_t requested, uint32_t percent) const;
};

// FTDI_SET_BAUD_RATE: the divisor word holds the integer divisor in bits 0-13 and the low
// two bits of the sub-integer code in bits 14-15; the fraction word holds its third bit.
BaudSetting DecodeBaudDivisor(uint16_t divisorWord, uint16_t fractionWord);

// The same request as it arrives: on one interface of a composite chip wIndex carries the
// fraction in its high byte and the channel in its low byte; on a single-interface chip
// wIndex is the fraction word.
struct BaudRequest {
    BaudSetting setting;
    uint8_t channel = 0;  // 0 when the request names none
};
BaudRequest DecodeBaudRequest(uint16_t wValue, uint16_t wIndex, bool composite);

// ---- FTDI_SET_DATA ----
using Parity = wire::Parity;  // None, Odd, Even, Mark, Space: the word's codes 0..4
using StopBits = wire::StopBits;  // One, OneAndHalf, Two: codes 0..2
struct LineFormat {
    int dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool breakOn = false;
    bool operator==(const LineFormat&) const = default;
};
// Bits 0-7 data bits (5..8), bits 8-10 parity, bits 11-13 stop bits, bit 14 break.
// Nothing for a word whose fields name no setting the chip has.
std::optional<LineFormat> DecodeDataFormat(uint16_t wValue);

// ---- FTDI_SET_FLOW_CTRL ----
struct FlowControl {
    uint8_t xonChar = 0;
    uint8_t xoffChar = 0;
    uint8_t channel = 0;
    bool rtsCts = false;
    bool dtrDsr = false;
    bool xonXoff = false;
    bool operator==(const FlowControl&) const = default;
};
FlowControl DecodeFlowControl(uint16_t wValue, uint16_t wIndex);

// ---- FTDI_MODEM_CTRL ----
struct ModemLines {
    bool dtr = false;
    bool rts = false;
    bool operator==(const ModemLines&) const = default;
};
// The high byte selects the lines to change (bit 0 DTR, bit 1 RTS), the low byte gives
// their new levels; lines not selected keep theirs.
struct ModemControl {
    bool setDtr = false;  // selected: DTR becomes `dtr`
    bool dtr = false;
    bool setRts = false;
    bool rts = false;
    bool operator==(const ModemControl&) const = default;
};
ModemControl DecodeModemControl(uint16_t wValue);
ModemLines ApplyModemControl(ModemLines lines, uint16_t wValue);

// ---- bulk-in packets: two status bytes, then up to 62 received bytes ----
inline constexpr size_t kPacketSize = 64;
inline constexpr size_t kStatusBytes = 2;
inline constexpr size_t kPayloadPerPacket = kPacketSize - kStatusBytes;

struct ModemStatus {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
    bool operator==(const ModemStatus&) const = default;
};
// Low nibble 0001, then CTS, DSR, RI, DCD in bits 4-7.
uint8_t ModemStatusByte(const ModemStatus& status);

struct LineStatus {
    bool dataReady = false;
    bool overrun = false;
    bool parity = false;
    bool framing = false;
    bool breakInterrupt = false;
    bool holdingEmpty = false;   // THRE
    bool transmitterEmpty = false;  // TEMT
    bool fifoError = false;
    bool operator==(const LineStatus&) const = default;
};
uint8_t LineStatusByte(const LineStatus& status);
// The other way round, as a host reads a packet. A modem-status byte whose low nibble is
// not 0001 is no status the chip sends: nothing.
std::optional<ModemStatus> DecodeModemStatus(uint8_t byte);
LineStatus DecodeLineStatus(uint8_t byte);

// Appends one packet (at most 62 payload bytes).
void AppendPacket(std::vector<uint8_t>& transfer, uint8_t modemStatus, uint8_t lineStatus,
                  std::span<const uint8_t> payload);
// The packets for `payload`: full 64-byte packets, then a short one with what is left.
// No payload gives one packet of status bytes only. A payload that fills its last packet
// ends with a full packet; a caller that needs the transfer to end appends a status-only
// packet.
std::vector<uint8_t> BuildPackets(uint8_t modemStatus, uint8_t lineStatus, std::span<const uint8_t> payload);

}  // namespace kwsim::chip
