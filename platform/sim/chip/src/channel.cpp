// One channel of the chip: its UART on the line, its FIFOs, its bulk endpoints.
#include <algorithm>

#include "simchip/chip.h"
#include "simkernel/sim.h"

namespace kwsim::chip {

using Guard = std::lock_guard<std::recursive_mutex>;
using usb::ControlReply;
using usb::Handshake;

ChipChannel::ChipChannel(Chip& chip, int index, const ChipOptions& options)
    : chip_(chip),
      index_(index),
      rxBuffer_(std::max<size_t>(options.rxBuffer, 1)),
      rxCapacity_(rxBuffer_ + kPayloadPerPacket * options.inPacketBuffers),
      tx_(*this, options.txFifo + 64 * options.outPacketBuffers)
{
    PowerOn();
}

ChipChannel::~ChipChannel()
{
    Guard lk(wire::LineMutex());
    if (cable_) cable_->Disconnect();
    if (latencyAt_ >= 0) CancelScheduled(latencyId_);
}

std::weak_ptr<void> ChipChannel::Lifetime() { return chip_.weak_from_this(); }

// A latency timer of 0 runs as 1 ms: no packet goes out sooner than the next frame anyway.
int64_t ChipChannel::LatencyTicks() const { return int64_t(latency_ ? latency_ : 1) * kMs; }

// ---- the line ----

wire::Frame ChipChannel::LineFrame() const
{
    return wire::Frame{baud_.BitPeriod(), uint8_t(format_.dataBits), format_.parity, format_.stopBits};
}

void ChipChannel::Sync()
{
    tx_.CatchUp();
    if (cable_) cable_->PullReceived();
}

bool ChipChannel::MayStart(bool urgent)
{
    if (flow_.rtsCts && !inputs_.cts) return false;
    if (flow_.dtrDsr && !inputs_.dsr) return false;
    return urgent || !(flow_.xonXoff && xoffReceived_);
}

void ChipChannel::RoomAvailable() { chip_.Ready(OutEndpoint()); }

void ChipChannel::TellReceiverChanged()
{
    if (cable_) cable_->ReceiverChanged();
}

void ChipChannel::ApplyOutputs()
{
    wire::Outputs out;
    out.rts = host_.rts && !(flow_.rtsCts && throttled_);
    out.dtr = host_.dtr && !(flow_.dtrDsr && throttled_);
    if (out == outputs_) return;
    outputs_ = out;
    if (cable_) cable_->OutputsChanged(outputs_);
}

// Input flow control watches the UART's buffer; the packet buffers are its margin.
size_t ChipChannel::HighWater() const { return rxBuffer_ > 64 ? rxBuffer_ - 32 : rxBuffer_ * 3 / 4; }

void ChipChannel::UpdateThrottle()
{
    const bool enabled = flow_.rtsCts || flow_.dtrDsr || flow_.xonXoff;
    if (!throttled_ && enabled && rx_.size() >= HighWater()) {
        throttled_ = true;
        if (flow_.xonXoff) {
            tx_.PushUrgent(flow_.xoffChar);
            tx_.Replan();
        }
        ApplyOutputs();
    } else if (throttled_ && (!enabled || rx_.size() <= rxBuffer_ / 2)) {
        throttled_ = false;
        if (flow_.xonXoff) {
            tx_.PushUrgent(flow_.xonChar);
            tx_.Replan();
        }
        ApplyOutputs();
    }
}

size_t ChipChannel::Batchable(std::span<const wire::Character> upcoming)
{
    // Stop at the first character the channel reacts to at its own time: one it has to
    // decode (another rate or format, or an error), a flow-control or event character,
    // the one that overruns the buffer, completes a packet the host waits for, or fills
    // the buffer to the flow-control level.
    const wire::Frame frame = LineFrame();
    const uint8_t mask = frame.DataMask();
    const bool inputFlow = flow_.rtsCts || flow_.dtrDsr || flow_.xonXoff;
    size_t level = rx_.size();
    for (size_t i = 0; i < upcoming.size(); i++) {
        const wire::Character& c = upcoming[i];
        if (rxBreak_ || c.flags || !wire::Compatible(c.frame, frame)) return i + 1;
        const uint8_t v = c.value & mask;
        if (flow_.xonXoff && (v == flow_.xonChar || v == flow_.xoffChar)) return i + 1;
        if ((eventChar_ & 0x100) && v == uint8_t(eventChar_)) return i + 1;
        if (level >= rxCapacity_) return i + 1;
        level++;
        if (inParked_ && !flush_ && level == kPayloadPerPacket) return i + 1;
        if (inputFlow && !throttled_ && level == HighWater()) return i + 1;
    }
    return upcoming.size();
}

void ChipChannel::Accept(uint8_t value, uint8_t errors)
{
    if (rx_.size() >= rxCapacity_) {
        latched_ |= kLsrOverrun;
        counters_.overruns++;
        return;
    }
    if ((errors & (kLsrParity | kLsrFraming)) && (errorChar_ & 0x100)) value = uint8_t(errorChar_);
    rx_.push_back(RxEntry{value, errors});
    counters_.received++;
    if (errors) {
        rxErrors_++;
        flush_ = true;
    }
    if ((eventChar_ & 0x100) && value == uint8_t(eventChar_)) flush_ = true;
    UpdateThrottle();
}

void ChipChannel::Receive(std::span<const wire::Character> chars)
{
    const wire::Frame frame = LineFrame();
    const bool held = xoffReceived_;
    for (const wire::Character& c : chars) {
        wire::Decoded d = wire::Decode(c, frame);
        for (int i = 0; i < d.count; i++) {
            const wire::Received& r = d.items[i];
            const uint8_t errors = (r.parityError ? kLsrParity : 0) | (r.framingError ? kLsrFraming : 0);
            if (flow_.xonXoff && !errors) {
                if (r.value == flow_.xoffChar)
                    xoffReceived_ = true;
                else if (r.value == flow_.xonChar)
                    xoffReceived_ = false;
            }
            Accept(r.value, errors);
        }
    }
    if (xoffReceived_ != held) tx_.Replan();
    MaybeWakeIn();
}

void ChipChannel::ReceiveBreak(bool on)
{
    if (on == rxBreak_) return;
    const int64_t now = Now();
    uint64_t g = ++breakCheck_;
    rxBreak_ = on;
    if (on) {
        breakSince_ = now;
        breakReported_ = false;
        // Still at space when a whole character would have ended: a break.
        const int64_t at = now + int64_t(LineFrame().CharacterTicks()) + 1;
        ScheduleAt(at, [life = Lifetime(), this, g] {
            std::shared_ptr<void> keep = life.lock();
            if (!keep) return;
            Guard lk(wire::LineMutex());
            if (g != breakCheck_ || !rxBreak_) return;
            breakReported_ = true;
            Accept(0x00, kLsrBreak);
            MaybeWakeIn();
        });
        return;
    }
    // Shorter than a character (but more than half a bit): a zero with a framing error.
    const wire::Rate r = LineFrame().rate;
    if (!breakReported_ && double(now - breakSince_) * 2 * double(r.den) >= double(r.num)) {
        Accept(0x00, kLsrFraming);
        MaybeWakeIn();
    }
}

void ChipChannel::InputsChanged(const wire::Inputs& inputs)
{
    if (inputs == inputs_) return;
    inputs_ = inputs;
    tx_.Replan();
    MaybeWakeIn();
}

void ChipChannel::Plugged(wire::Cable* cable)
{
    cable_ = cable;
    if (cable) {
        cable->OutputsChanged(outputs_);
        if (tx_.BreakOn()) cable->TransmitBreak(true);
        inputs_ = cable->CurrentInputs();
    } else {
        inputs_ = {};
        rxBreak_ = false;
    }
    tx_.Replan();
    MaybeWakeIn();
}

// ---- bulk IN ----

uint8_t ChipChannel::ModemStatus() const
{
    Guard lk(wire::LineMutex());
    return ModemStatusByte({inputs_.cts, inputs_.dsr, inputs_.ri, inputs_.dcd});
}

bool ChipChannel::PacketDue(int64_t now) const
{
    return rx_.size() >= kPayloadPerPacket || flush_ || latched_ || corrupt_ || ModemStatus() != lastModemSent_ ||
           now - lastPacket_ >= LatencyTicks();
}

void ChipChannel::WakeIn()
{
    inParked_ = false;
    chip_.Ready(InEndpoint());
}

void ChipChannel::MaybeWakeIn()
{
    if (inParked_ && PacketDue(Now())) WakeIn();
}

void ChipChannel::ScheduleLatencyWake()
{
    // The host polls at frame starts and a real host polls all through the frame: the
    // endpoint is made ready just before the expiry, so the poll at the expiry itself
    // finds the timer run out, as a real host's next IN token would.
    const int64_t at = std::max(Now(), lastPacket_ + LatencyTicks() - 1);
    if (at == latencyAt_) return;
    if (latencyAt_ >= 0) CancelScheduled(latencyId_);
    uint64_t g = ++latencyGeneration_;
    latencyAt_ = at;
    latencyId_ = ScheduleAt(at, [life = Lifetime(), this, g] {
        std::shared_ptr<void> keep = life.lock();
        if (!keep) return;
        Guard lk(wire::LineMutex());
        if (g != latencyGeneration_) return;
        latencyAt_ = -1;
        if (inParked_) WakeIn();
    });
}

Handshake ChipChannel::BulkIn(size_t maxLength, std::vector<uint8_t>& packet)
{
    Sync();
    const int64_t now = Now();
    const uint8_t modem = ModemStatus();
    const bool timedOut = now - lastPacket_ >= LatencyTicks();
    const bool triggered = flush_ || latched_ || corrupt_ || modem != lastModemSent_ || timedOut;
    if (rx_.size() < kPayloadPerPacket && !triggered) {
        counters_.inNaks++;
        if (!inParked_) {
            inParked_ = true;
            ScheduleLatencyWake();
            TellReceiverChanged();  // a packet completed now is worth a wake-up
        }
        return Handshake::Nak;
    }
    inParked_ = false;
    size_t n = std::min({rx_.size(), kPayloadPerPacket, maxLength > kStatusBytes ? maxLength - kStatusBytes : 0});
    uint8_t errors = 0;
    for (size_t i = 0; i < n; i++)
        if (rx_[i].errors) {  // it ends the packet, which carries its errors
            errors = rx_[i].errors;
            n = i + 1;
            rxErrors_--;
            break;
        }
    uint8_t lsr = latched_ | errors;
    latched_ = 0;
    packet.resize(kStatusBytes + n);
    for (size_t i = 0; i < n; i++) {
        packet[kStatusBytes + i] = rx_.front().value;
        rx_.pop_front();
    }
    if (rxErrors_) lsr |= kLsrFifoError;
    if (tx_.HoldingEmpty()) lsr |= kLsrThre;
    if (tx_.Empty()) lsr |= kLsrTemt;
    packet[0] = corrupt_ ? *corrupt_ : modem;
    packet[1] = lsr;
    corrupt_.reset();
    if (packet.size() > maxLength) packet.resize(maxLength);
    lastModemSent_ = modem;
    lastPacket_ = now;
    // A packet sent early that came out full is followed by one more, so the transfer
    // ends; characters with errors behind it go out at once too.
    flush_ = (triggered && n == kPayloadPerPacket) || rxErrors_ > 0;
    counters_.packets++;
    if (n == 0) counters_.statusPackets++;
    UpdateThrottle();
    return Handshake::Ack;
}

// ---- bulk OUT ----

Handshake ChipChannel::BulkOut(std::span<const uint8_t> packet)
{
    Sync();
    if (packet.empty()) return Handshake::Ack;
    if (tx_.Room() < packet.size()) {
        counters_.outNaks++;
        tx_.WaitForRoom(packet.size());
        tx_.Replan();
        return Handshake::Nak;
    }
    tx_.Push(packet);
    tx_.Replan();
    counters_.outPackets++;
    return Handshake::Ack;
}

// ---- vendor requests ----

void ChipChannel::PowerOn()
{
    baud_ = DecodeBaudDivisor(0x4138, 0);  // 9600
    format_ = LineFormat{};
    flow_ = FlowControl{0x11, 0x13};
    host_ = ModemLines{};
    latency_ = 16;
    eventChar_ = errorChar_ = 0;
    bitmodeMask_ = bitmode_ = 0;
    tx_.SetFrame(LineFrame());
    tx_.SetBreak(false);
    if (latencyAt_ >= 0) CancelScheduled(latencyId_);
    latencyAt_ = -1;
    inParked_ = false;
    corrupt_.reset();
    Reset();
}

void ChipChannel::Reset()
{
    tx_.Purge(true);
    rx_.clear();
    rxErrors_ = 0;
    latched_ = 0;
    flush_ = false;
    xoffReceived_ = false;
    throttled_ = false;
    ApplyOutputs();
    tx_.Replan();
    TellReceiverChanged();
}

void ChipChannel::PurgeReceive()
{
    rx_.clear();
    rxErrors_ = 0;
    latched_ = 0;
    flush_ = false;
    UpdateThrottle();
    TellReceiverChanged();
}

void ChipChannel::SetBaud(const BaudSetting& baud)
{
    Sync();
    baud_ = baud;
    tx_.SetFrame(LineFrame());
    tx_.Replan();
    TellReceiverChanged();
}

uint8_t ChipChannel::Pins() const
{
    // The modem lines' pins are active low; TXD and RXD idle at mark (1).
    return uint8_t((tx_.BreakOn() ? 0 : 0x01) | (rxBreak_ ? 0 : 0x02) | (outputs_.rts ? 0 : 0x04) |
                   (inputs_.cts ? 0 : 0x08) | (outputs_.dtr ? 0 : 0x10) | (inputs_.dsr ? 0 : 0x20) |
                   (inputs_.dcd ? 0 : 0x40) | (inputs_.ri ? 0 : 0x80));
}

uint8_t ChipChannel::StatusLocked() const
{
    uint8_t lsr = latched_;
    if (!rx_.empty()) lsr |= kLsrDataReady;
    if (rxErrors_) lsr |= kLsrFifoError;
    if (tx_.HoldingEmpty()) lsr |= kLsrThre;
    if (tx_.Empty()) lsr |= kLsrTemt;
    return lsr;
}

ControlReply ChipChannel::Control(const usb::SetupPacket& s)
{
    Sync();
    switch (s.bRequest) {
    case kReset:
        if (s.wValue == 0)
            Reset();
        else if (s.wValue == 1) {
            tx_.Purge(false);
            tx_.Replan();
        } else if (s.wValue == 2)
            PurgeReceive();
        else
            return ControlReply::Stalled();
        return ControlReply::Ok();
    case kModemCtrl:
        host_ = ApplyModemControl(host_, s.wValue);
        ApplyOutputs();
        return ControlReply::Ok();
    case kSetFlowCtrl: {
        FlowControl f = DecodeFlowControl(s.wValue, s.wIndex);
        f.channel = 0;
        flow_ = f;
        if (!flow_.xonXoff) xoffReceived_ = false;
        UpdateThrottle();
        ApplyOutputs();
        tx_.Replan();
        TellReceiverChanged();
        return ControlReply::Ok();
    }
    case kSetData: {
        std::optional<LineFormat> f = DecodeDataFormat(s.wValue);
        if (!f) return ControlReply::Stalled();
        format_ = *f;
        tx_.SetFrame(LineFrame());
        tx_.SetBreak(format_.breakOn);
        tx_.Replan();
        TellReceiverChanged();
        return ControlReply::Ok();
    }
    case kGetModemStatus:
        return ControlReply::Ok({ModemStatus(), StatusLocked()});
    case kSetEventChar:
        eventChar_ = s.wValue & 0x1FF;
        TellReceiverChanged();
        return ControlReply::Ok();
    case kSetErrorChar:
        errorChar_ = s.wValue & 0x1FF;
        return ControlReply::Ok();
    case kSetLatencyTimer:
        latency_ = uint8_t(s.wValue);
        if (inParked_) {
            ScheduleLatencyWake();
            MaybeWakeIn();
        }
        return ControlReply::Ok();
    case kGetLatencyTimer:
        return ControlReply::Ok({latency_});
    case kSetBitmode:
        bitmodeMask_ = uint8_t(s.wValue);
        bitmode_ = uint8_t(s.wValue >> 8);
        return ControlReply::Ok();
    case kReadPins:
        return ControlReply::Ok({Pins()});
    default:
        return ControlReply::Stalled();
    }
}

// ---- accessors and injection ----

ChipChannel::State ChipChannel::GetState() const
{
    Guard lk(wire::LineMutex());
    const_cast<ChipChannel*>(this)->Sync();
    State s;
    s.baud = baud_;
    s.rate = baud_.Rate();
    s.format = format_;
    s.flow = flow_;
    s.host = host_;
    s.outputs = outputs_;
    s.inputs = inputs_;
    s.latencyTimer = latency_;
    s.eventChar = eventChar_;
    s.errorChar = errorChar_;
    s.bitmodeMask = bitmodeMask_;
    s.bitmode = bitmode_;
    s.rxLevel = rx_.size();
    s.txLevel = tx_.Level();
    s.xoffReceived = xoffReceived_;
    s.throttled = throttled_;
    s.receivingBreak = rxBreak_;
    return s;
}

uint8_t ChipChannel::LineStatus() const
{
    Guard lk(wire::LineMutex());
    const_cast<ChipChannel*>(this)->Sync();
    return StatusLocked();
}

ChipChannel::Counters ChipChannel::GetCounters() const
{
    Guard lk(wire::LineMutex());
    const_cast<ChipChannel*>(this)->Sync();
    Counters c = counters_;
    c.sent = tx_.Sent();
    return c;
}

void ChipChannel::InjectLineErrors(uint8_t bits)
{
    Guard lk(wire::LineMutex());
    latched_ |= bits & (kLsrOverrun | kLsrParity | kLsrFraming | kLsrBreak);
    MaybeWakeIn();
}

void ChipChannel::CorruptNextPacket(uint8_t modemStatus)
{
    Guard lk(wire::LineMutex());
    corrupt_ = modemStatus;
    MaybeWakeIn();
}

}  // namespace kwsim::chip
