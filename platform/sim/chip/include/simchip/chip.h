// The FTDI-compatible multi-channel USB UART of the simulated PC: a USB device for the
// simulated host (usb::Device) whose channels are DTEs on the simulated serial line.
//
//   auto chip = kwsim::chip::Chip::Create({.channels = 4});
//   PluggedDevice* dev = host.Plug(chip);
//   auto plug = kwsim::wire::LoopBack::Plug(chip->Channel(0));
//
// USB side. Vendor 0x1209, product 0x7301 / 0x7302 / 0x7304 for 1, 2 or 4 channels; one
// interface per channel (class FF/FF/FF) with bulk IN 0x81 + 2k and bulk OUT 0x02 + 2k of
// 64 bytes, IN first; a chip of more than one channel is a composite device. Vendor
// requests (device or interface recipient) address a channel by the low byte of wIndex
// (0 and 1: channel A); on a single-channel chip the baud request's wIndex is the
// fraction word. Requests: 0 reset (wValue 0 both directions, 1 purge transmit, 2 purge
// receive), 1 modem control, 2 flow control, 3 baud rate, 4 data format and break, 5
// modem status (2 bytes), 6 event character, 7 error character, 9 / 10 latency timer
// set / get (1 byte), 11 bitmode, 12 read pins, 0x90 / 0x91 / 0x92 EEPROM read word /
// write word / erase. Anything else, a bad channel or a data format outside the chip's
// settings stalls. A port reset (or unplugging) returns every channel to power-on:
// 9600 8N1, no flow control, DTR and RTS off, latency 16 ms, FIFOs empty.
//
// Each channel (ChipChannel):
//  - Line: runs at the rate its divisor word really produces (3 MHz / (n + k/8)); one
//    character takes (1 + data + parity + stop) bits. A character written at time t
//    starts at t when the transmitter is idle, else right after the one before.
//  - Transmit side: a 128-byte FIFO behind two 64-byte OUT packet buffers (256 bytes in
//    all, ChipOptions). An OUT packet that does not fit is NAKed; the endpoint is made
//    ready again at the start bit that frees the room. (The packet buffers matter here:
//    the simulated host retries a NAKed endpoint only from the next 1-ms frame, where a
//    real host retries within the frame.)
//  - Receive side: a 256-byte buffer ahead of two IN packet buffers (62 received bytes
//    each), 380 bytes in all; a character arriving when all are full is lost and latches
//    an overrun. (As on the transmit side, the packet buffers bridge the simulated host's
//    frame granularity: a read re-submitted from its completion is polled two frames
//    after the last, which at 921,600 baud is 185 characters.)
//  - Bulk IN: every packet is the modem-status byte (low nibble 1; CTS 0x10, DSR 0x20,
//    RI 0x40, DCD 0x80), the line-status byte and up to 62 received bytes. The chip sends
//    a packet when 62 bytes have gathered, when its latency timer has run out since the
//    last packet (then with what it has, possibly only the status bytes), and at once
//    when the modem lines changed, an error was latched or received, or the event
//    character arrived. It NAKs otherwise. A packet sent for one of these reasons that
//    comes out full is followed by another, so the host's transfer ends with a short one.
//    A received character with a parity or framing error or a break ends its packet;
//    the packet's line-status byte carries its error bits (PE 0x04, FE 0x08, BI 0x10),
//    and a latched overrun (OE 0x02) goes in the next packet; each is reported once. Bit
//    7 is set while a character with an error waits behind the packet; THRE (0x20) and
//    TEMT (0x40) tell whether the transmit side holds nothing / sends nothing. Bit 0 (DR)
//    is left clear in packets; the modem-status request sets it while data waits.
//  - The error character, when enabled, replaces a character received with a parity or
//    framing error. A break held for at least one character time is received as one 0x00
//    with BI; a shorter one as 0x00 with a framing error.
//  - Output flow control: with RTS/CTS the transmitter waits while CTS is off, with
//    DTR/DSR while DSR is off, with Xon/Xoff from a received Xoff until an Xon (the
//    characters are still passed on to the host). A character already started finishes.
//  - Input flow control (any of the three handshakes): when the chip holds 256 - 32
//    received bytes it drops RTS (RTS/CTS) or DTR (DTR/DSR) or sends Xoff ahead of
//    queued data (Xon/Xoff); at 128 bytes it raises them again or sends Xon. The lines
//    on the wire are the host's setting and-ed with this.
//  - Break (data-format bit 14) starts when the character being sent has ended; nothing
//    is sent until it is released.
//  - Nothing is scheduled while nothing moves: the line has one event per batch of
//    characters (see simwire/line.h), the latency timer an event only while the host's
//    read is NAKed.
//
// Threading: the host calls the chip with its own lock held; every chip and line object
// takes wire::LineMutex(). The accessors below may be called from any sim thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simchip/chipprotocol.h"
#include "simusb/descriptors.h"
#include "simwire/line.h"
#include "simwire/transmitter.h"

namespace kwsim::chip {

inline constexpr uint16_t kVendorId = 0x1209;
inline constexpr uint16_t kProductSingle = 0x7301;
inline constexpr uint16_t kProductDual = 0x7302;
inline constexpr uint16_t kProductQuad = 0x7304;

// Vendor requests (bRequest).
enum Request : uint8_t {
    kReset = 0,
    kModemCtrl = 1,
    kSetFlowCtrl = 2,
    kSetBaudRate = 3,
    kSetData = 4,
    kGetModemStatus = 5,
    kSetEventChar = 6,
    kSetErrorChar = 7,
    kSetLatencyTimer = 9,
    kGetLatencyTimer = 10,
    kSetBitmode = 11,
    kReadPins = 12,
    kReadEeprom = 0x90,
    kWriteEeprom = 0x91,
    kEraseEeprom = 0x92,
};

// Line-status bits.
enum : uint8_t {
    kLsrDataReady = 0x01,
    kLsrOverrun = 0x02,
    kLsrParity = 0x04,
    kLsrFraming = 0x08,
    kLsrBreak = 0x10,
    kLsrThre = 0x20,
    kLsrTemt = 0x40,
    kLsrFifoError = 0x80,
};

struct ChipOptions {
    int channels = 1;             // 1, 2 or 4
    uint16_t productId = 0;       // 0: by the channel count
    uint16_t bcdDevice = 0x0100;
    std::u16string manufacturer = u"Kwellin";
    std::u16string product;       // empty: "Kwellin USB Serial Adapter", "... Dual ...", "... Quad ..."
    std::u16string serialNumber = u"KW000001";  // empty: none
    size_t rxBuffer = 256;        // per channel
    size_t inPacketBuffers = 2;   // IN packet buffers behind the receive buffer (62 payload bytes each)
    size_t txFifo = 128;          // per channel
    size_t outPacketBuffers = 2;  // 64-byte OUT packet buffers ahead of the transmit FIFO
    std::vector<uint16_t> eeprom; // empty: 64 words, the IDs in words 1-4, the rest erased
};

class Chip;

class ChipChannel final : public wire::Dte, private wire::TransmitterOwner {
public:
    ChipChannel(Chip& chip, int index, const ChipOptions& options);
    ~ChipChannel();

    int Index() const { return index_; }  // 0: channel A
    uint8_t InEndpoint() const { return uint8_t(0x81 + 2 * index_); }
    uint8_t OutEndpoint() const { return uint8_t(0x02 + 2 * index_); }

    // ---- the channel now (characters that have ended by now are counted) ----
    struct State {
        BaudSetting baud;
        double rate = 0;           // bits per second on the line
        LineFormat format;         // with the break bit
        FlowControl flow;
        ModemLines host;           // DTR and RTS as the host set them
        wire::Outputs outputs;     // as driven on the line
        wire::Inputs inputs;
        uint8_t latencyTimer = 0;  // milliseconds
        uint16_t eventChar = 0;    // the request word: character | 0x100 when enabled
        uint16_t errorChar = 0;
        uint8_t bitmodeMask = 0;
        uint8_t bitmode = 0;
        size_t rxLevel = 0;        // bytes waiting for the host
        size_t txLevel = 0;        // bytes waiting to be sent
        bool xoffReceived = false; // the transmitter is held by the peer's Xoff
        bool throttled = false;    // input flow control holds the peer off
        bool receivingBreak = false;
    };
    State GetState() const;
    wire::Frame LineFrame() const;
    uint8_t ModemStatus() const;  // the first byte of a packet sent now
    uint8_t LineStatus() const;   // what the modem-status request answers now
    struct Counters {
        uint64_t sent = 0;          // characters on the line
        uint64_t received = 0;      // characters into the receive buffer
        uint64_t overruns = 0;      // characters lost
        uint64_t packets = 0;       // bulk IN packets
        uint64_t statusPackets = 0; // ... of them with status bytes only
        uint64_t outPackets = 0;    // bulk OUT packets taken
        uint64_t inNaks = 0;
        uint64_t outNaks = 0;
    };
    Counters GetCounters() const;

    // ---- error injection ----
    // Latches line-status errors (kLsrOverrun, kLsrParity, kLsrFraming, kLsrBreak) as if
    // the receiver had just seen them: they go out once, in a packet sent at once.
    void InjectLineErrors(uint8_t bits);
    // The next bulk IN packet begins with `modemStatus` instead of the modem status (a
    // low nibble other than 1 makes it a corrupted packet).
    void CorruptNextPacket(uint8_t modemStatus = 0x00);

    // ---- wire::Dte ----
    size_t Batchable(std::span<const wire::Character> upcoming) override;
    void Receive(std::span<const wire::Character> chars) override;
    void ReceiveBreak(bool on) override;
    void InputsChanged(const wire::Inputs& inputs) override;
    void CatchUp() override { tx_.CatchUp(); }
    void ReceiverChanged() override { tx_.Replan(); }
    void Plugged(wire::Cable* cable) override;
    wire::Cable* PluggedInto() const override { return cable_; }

private:
    friend class Chip;
    struct RxEntry {
        uint8_t value;
        uint8_t errors;  // kLsrParity | kLsrFraming | kLsrBreak
    };

    // ---- called by the chip, with LineMutex() held ----
    usb::ControlReply Control(const usb::SetupPacket& setup);
    void SetBaud(const BaudSetting& baud);
    usb::Handshake BulkIn(size_t maxLength, std::vector<uint8_t>& packet);
    usb::Handshake BulkOut(std::span<const uint8_t> packet);
    void PowerOn();
    void Sync();

    void Reset();
    void PurgeReceive();
    void Accept(uint8_t value, uint8_t errors);
    bool PacketDue(int64_t now) const;
    void WakeIn();
    void MaybeWakeIn();
    void ScheduleLatencyWake();
    void UpdateThrottle();
    void ApplyOutputs();
    void TellReceiverChanged();
    int64_t LatencyTicks() const;
    size_t HighWater() const;
    uint8_t Pins() const;
    uint8_t StatusLocked() const;

    // TransmitterOwner
    wire::Cable* TransmitCable() override { return cable_; }
    bool MayStart(bool urgent) override;
    void RoomAvailable() override;
    std::weak_ptr<void> Lifetime() override;

    Chip& chip_;
    const int index_;
    const size_t rxBuffer_;
    const size_t rxCapacity_;  // with the IN packet buffers
    wire::Transmitter tx_;
    wire::Cable* cable_ = nullptr;

    // settings
    BaudSetting baud_;
    LineFormat format_;
    FlowControl flow_;
    ModemLines host_;
    uint8_t latency_ = 16;
    uint16_t eventChar_ = 0;
    uint16_t errorChar_ = 0;
    uint8_t bitmodeMask_ = 0;
    uint8_t bitmode_ = 0;

    // line
    wire::Inputs inputs_;
    wire::Outputs outputs_;
    bool xoffReceived_ = false;
    bool throttled_ = false;
    bool rxBreak_ = false;
    bool breakReported_ = false;
    int64_t breakSince_ = 0;
    uint64_t breakCheck_ = 0;  // generation of the pending break check

    // receive side and bulk IN
    std::deque<RxEntry> rx_;
    size_t rxErrors_ = 0;   // entries in rx_ with errors
    uint8_t latched_ = 0;   // OE and injected errors for the next packet
    bool flush_ = false;    // a packet goes out at the next poll
    bool inParked_ = false; // the last poll was NAKed and no EndpointReady has followed
    int64_t lastPacket_ = 0;
    uint8_t lastModemSent_ = 0x01;
    std::optional<uint8_t> corrupt_;
    uint64_t latencyGeneration_ = 0;
    uint64_t latencyId_ = 0;
    int64_t latencyAt_ = -1;

    Counters counters_;
};

class Chip final : public usb::DescribedDevice, public std::enable_shared_from_this<Chip> {
public:
    static std::shared_ptr<Chip> Create(const ChipOptions& options = {});
    ~Chip() override;

    int Channels() const { return int(channels_.size()); }
    bool Composite() const { return channels_.size() > 1; }
    ChipChannel& Channel(int index) { return *channels_.at(size_t(index)); }
    std::vector<uint16_t> Eeprom() const;

    // ---- usb::Device ----
    void Detached() override;
    void BusReset() override;
    usb::ControlReply Control(const usb::SetupPacket& setup, std::span<const uint8_t> data) override;
    usb::Handshake BulkOut(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
    usb::Handshake BulkIn(uint8_t endpointAddress, size_t maxLength, std::vector<uint8_t>& packet) override;

private:
    friend class ChipChannel;
    Chip(usb::DeviceSpec device, std::vector<usb::ConfigurationSpec> configurations,
         std::map<uint8_t, std::u16string> strings, const ChipOptions& options);
    ChipChannel* ChannelFor(uint8_t index);
    ChipChannel* ChannelForEndpoint(uint8_t endpointAddress);
    void Ready(uint8_t endpointAddress) { EndpointReady(endpointAddress); }

    std::vector<std::unique_ptr<ChipChannel>> channels_;
    std::vector<uint16_t> eeprom_;
};

}  // namespace kwsim::chip
