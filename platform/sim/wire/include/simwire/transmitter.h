// The sending half of a UART, shared by the chip's channels and the scripted peer: a
// queue of bytes (the transmit FIFO), the shift register, flow control through its
// owner, break, and exact character timing in virtual time.
//
// Characters go out back to back at the frame's rate. The transmitter lays out the next
// run of characters (at most kMaxRun) that may start while its owner lets it send,
// asks the cable how many of them the far end takes as one batch, and schedules a single
// event at the end of the last: one event per batch, none while it is idle or held. A
// character is committed when its start bit begins; everything not yet started goes
// back to the queue whenever the plan changes (Replan), so a hold (CTS low, Xoff) stops
// the line after the character being sent, exactly at its end.
//
// The owner calls Replan after every change that may matter (bytes pushed, its hold
// state, the frame), and CatchUp before it looks at the queue. All calls with
// LineMutex() held.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "simwire/line.h"

namespace kwsim::wire {

class TransmitterOwner {
public:
    // Where the characters go (null: nowhere; they still take their time).
    virtual Cable* TransmitCable() = 0;
    // Whether a character may start now; `urgent` for a flow-control character sent
    // ahead of the queue (PushUrgent).
    virtual bool MayStart(bool urgent) = 0;
    // The room asked for with WaitForRoom is free.
    virtual void RoomAvailable() {}
    // Characters have just been handed to the cable.
    virtual void Delivered() {}
    // Scheduled events hold this; when it has gone they do nothing.
    virtual std::weak_ptr<void> Lifetime() = 0;

protected:
    ~TransmitterOwner() = default;
};

class Transmitter {
public:
    static constexpr size_t kMaxRun = 256;

    explicit Transmitter(TransmitterOwner& owner, size_t capacity = SIZE_MAX);
    ~Transmitter();
    Transmitter(const Transmitter&) = delete;
    Transmitter& operator=(const Transmitter&) = delete;

    // The frame of characters not yet started (the one on the line keeps its own).
    void SetFrame(const Frame& frame);
    const Frame& GetFrame() const { return frame_; }
    size_t Capacity() const { return capacity_; }

    // ---- the queue, as of the last CatchUp or Replan ----
    size_t Level() const;  // bytes waiting, not yet started
    size_t Room() const { return capacity_ - std::min(capacity_, Level()); }
    bool HoldingEmpty() const;  // THRE: nothing waits to be sent
    bool Empty() const;         // TEMT: nor is anything being sent
    bool BreakOn() const { return breakOn_; }
    uint64_t Sent() const { return sent_; }

    // Queues what fits; returns the bytes taken. Replan afterwards.
    size_t Push(std::span<const uint8_t> bytes, uint8_t flags = 0);
    // A character sent next, ahead of the queue (flow control). Replan afterwards.
    void PushUrgent(uint8_t value);
    // Drops what has not started (the urgent characters too if `urgent`).
    void Purge(bool urgent);
    // Break: the line goes to space when the character being sent has ended, and back to
    // mark at once when it is released; nothing is sent meanwhile.
    void SetBreak(bool on);
    // Once: RoomAvailable() when Room() >= bytes (at the start bit that frees it).
    void WaitForRoom(size_t bytes);

    // Hands every character that has ended by now to the cable.
    void CatchUp();
    // Lays the queue out again from now and schedules the next event.
    void Replan();

private:
    // tick + num / den, 0 <= num < den.
    struct Instant {
        int64_t tick = 0;
        uint64_t num = 0;
        uint64_t den = 1;
        int64_t Ceil() const { return tick + (num ? 1 : 0); }
    };
    struct Planned {
        uint8_t value;
        uint8_t flags;
        bool urgent;
        Instant end;
        Character ch;
    };
    void Plan();
    void Schedule(int64_t at);
    void Fire(uint64_t generation);

    TransmitterOwner& owner_;
    size_t capacity_;
    Frame frame_;
    struct Byte {
        uint8_t value;
        uint8_t flags;
    };
    std::deque<Byte> fifo_;
    std::deque<uint8_t> urgent_;
    std::deque<Planned> run_;  // laid out: the one on the line (start <= now), then tentative ones
    Instant lineFree_;         // the exact end of the last character handed over
    size_t wantRoom_ = 0;
    bool breakWanted_ = false;
    bool breakOn_ = false;
    bool planning_ = false;
    bool again_ = false;
    uint64_t sent_ = 0;
    uint64_t generation_ = 0;
    uint64_t eventId_ = 0;
    int64_t eventAt_ = -1;
    std::vector<Character> scratch_;
};

}  // namespace kwsim::wire
