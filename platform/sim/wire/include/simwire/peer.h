// A scripted peer: a DTE at the far end of a cable (through a null modem, its RTS is the
// chip's CTS and its DTR the chip's DSR and DCD) that runs a script in virtual time.
//
// Steps run one after the other; each starts when the one before it has ended:
//   Send(bytes)        queue bytes for sending (ends at once; they go out at the line rate)
//   Xoff(), Xon()      send the flow-control character ahead of queued data
//   Flood(n)           queue n bytes of a counting pattern (first, first + 1, ...)
//   Drain()            wait until everything queued has left the line
//   Expect(bytes, t)   wait for these bytes to arrive next (counting what arrived since
//                      the previous Expect); a different byte, or nothing within t (if t
//                      is not 0), is a failure and ends the script
//   Delay(dt), At(t)   wait
//   SetRts/Dtr/Ring    drive a line
//   Break(d)           hold the transmit line at space for d, then release it
//   Do(fn)             anything else, at that moment (called with LineMutex() held)
// A step appended to an ended script starts at once. Replies therefore come at exact
// times: an Expect ends at the end of the stop bit of its last byte.
//
// The peer's transmitter honours the chip's lines when told to (SetHandshake): CTS and
// DSR hold it; with Xon/Xoff a received Xoff holds it until an Xon.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kwplat/kernel.h"
#include "simwire/line.h"
#include "simwire/transmitter.h"

namespace kwsim::wire {

class Peer final : public Dte, private TransmitterOwner, public std::enable_shared_from_this<Peer> {
public:
    struct Handshake {
        bool cts = false;      // send only while CTS is on
        bool dsr = false;      // send only while DSR is on
        bool xonXoff = false;  // a received Xoff holds the transmitter until an Xon
        uint8_t xon = 0x11;
        uint8_t xoff = 0x13;
    };
    // One received character as the peer's UART read it, at the end of its stop bit.
    struct Arrival {
        Received data;
        int64_t time = 0;
    };

    static std::shared_ptr<Peer> Create(const Frame& frame);
    ~Peer();

    // ---- settings, at once ----
    void SetFrame(const Frame& frame);
    Frame GetFrame() const;
    void SetHandshake(const Handshake& handshake);

    // ---- the script ----
    Peer& Send(std::vector<uint8_t> bytes, uint8_t flags = 0);
    Peer& Xoff();
    Peer& Xon();
    Peer& Flood(size_t count, uint8_t first = 0);
    Peer& Drain();
    Peer& Expect(std::vector<uint8_t> bytes, int64_t timeout = 0);
    Peer& Delay(int64_t dt);
    Peer& At(int64_t time);
    Peer& SetRts(bool on);
    Peer& SetDtr(bool on);
    Peer& SetRing(bool on);
    Peer& Break(int64_t duration);
    Peer& Do(std::function<void(Peer&)> fn);

    // ---- results ----
    bool Done() const;
    // Blocks the calling sim thread (PASSIVE_LEVEL) until the script has ended.
    void WaitDone();
    std::vector<std::string> Failures() const;
    std::vector<Arrival> Received() const;
    std::vector<uint8_t> ReceivedBytes() const;
    // The receive line's breaks: level true from its start, false from its end.
    std::vector<Signal> Breaks() const;
    Inputs ReadInputs() const;
    uint64_t Sent() const;

    // ---- Dte ----
    size_t Batchable(std::span<const Character> upcoming) override;
    void Receive(std::span<const Character> chars) override;
    void ReceiveBreak(bool on) override;
    void InputsChanged(const Inputs& inputs) override;
    void CatchUp() override;
    void ReceiverChanged() override;
    void Plugged(Cable* cable) override;
    Cable* PluggedInto() const override { return cable_; }

private:
    explicit Peer(const Frame& frame);

    struct Step {
        enum class Kind { Send, Urgent, Flood, Drain, Expect, Delay, At, Lines, Break, Call } kind;
        std::vector<uint8_t> bytes;
        uint8_t flags = 0;
        size_t count = 0;
        int64_t time = 0;
        Line line = Line::Rts;
        bool level = false;
        std::function<void(Peer&)> fn;
    };
    // Queued for sending beyond what the transmitter holds.
    struct Pending {
        std::vector<uint8_t> bytes;  // or, when empty, `count` bytes of a pattern from `next`
        size_t pos = 0;
        size_t count = 0;
        uint8_t next = 0;
        uint8_t flags = 0;
    };

    Peer& Add(Step step);
    void Run();
    bool Progress(Step& step);  // true when the step has ended
    void Fail(std::string what);
    void Feed();
    void Wake(int64_t at);

    // TransmitterOwner
    Cable* TransmitCable() override { return cable_; }
    bool MayStart(bool urgent) override;
    void RoomAvailable() override;
    void Delivered() override;
    std::weak_ptr<void> Lifetime() override { return weak_from_this(); }

    Transmitter tx_;
    Frame frame_;
    Handshake handshake_;
    Cable* cable_ = nullptr;
    Inputs inputs_;
    Outputs outputs_;
    bool xoffReceived_ = false;

    std::deque<Step> steps_;
    bool active_ = false;       // the front step has started
    bool running_ = false;
    bool rerun_ = false;
    bool failed_ = false;
    int64_t stepStart_ = 0;
    size_t expectMatched_ = 0;  // bytes of the front Expect seen so far
    size_t cursor_ = 0;         // arrivals consumed by Expect steps
    std::deque<Pending> pending_;
    std::vector<Arrival> arrivals_;
    std::vector<Signal> breaks_;
    std::vector<std::string> failures_;
    uint64_t wakeGeneration_ = 0;
    uint64_t wakeId_ = 0;
    bool wakeSet_ = false;
    KEVENT done_;
};

}  // namespace kwsim::wire
