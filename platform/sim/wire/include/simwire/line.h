// The serial line of the simulated PC: the parties on it (DTEs: a chip channel, a
// scripted peer), the cable between them, and taps that watch it.
//
// A party talks to its end of a cable (Cable) and is told by it what arrives (Dte).
// Everything happens in virtual time, on the simulated kernel's clock, and one lock,
// LineMutex(), guards every line object: the chip model, cables, peers and recorders all
// take it, so characters can cross from any party to any other without lock ordering.
// Calls between line objects are made with it held; it is recursive because a delivery
// can come straight back (a loop-back plug hands a chip its own character).
//
// Characters are handed over in batches, at the end of the last one. A sender lays out
// the characters it will send if nothing changes and asks the receiver how many of them
// it may hand over together (Batchable): a receiver that would react to one of them at
// its own time (its receive buffer reaching a level, a flow-control character, an
// expected reply) stops the batch there. So the line costs one event per batch, and
// every reaction still happens at the exact time of the character that caused it. A
// receiver that looks at its received data for some other reason first asks the sender
// to catch up (PullReceived), and tells it when its limits have tightened
// (ReceiverChanged).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "simwire/frame.h"

namespace kwsim::wire {

// The lock of every line object (see above).
std::recursive_mutex& LineMutex();

// The lines of a DTE's connector. A DTE drives RTS, DTR and its transmit data (break:
// held at space); it reads CTS, DSR, RI and DCD. Ring is not a DTE line: a scripted peer
// may drive it to reach the far end's RI (the cables carry it there).
enum class Line : uint8_t { Rts, Dtr, Ring, Break, Cts, Dsr, Ri, Dcd };
const char* LineName(Line line);

// A line's level and the virtual time it took it.
struct Signal {
    bool level = false;
    int64_t since = 0;
};

struct Outputs {
    bool rts = false;
    bool dtr = false;
    bool ring = false;
    bool operator==(const Outputs&) const = default;
};

struct Inputs {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
    bool operator==(const Inputs&) const = default;
};

class Cable;

// A party on the line, as its cable sees it. All calls with LineMutex() held, at Now().
class Dte {
public:
    // ---- receiving ----
    // How many of `upcoming` (the characters the far end will send next if nothing
    // changes, in order) may be handed over in one batch at the end of the last of them:
    // 1 + the index of the first one the receiver must see at its own time. At least 1.
    virtual size_t Batchable(std::span<const Character> upcoming) { return upcoming.size(); }
    // Characters that have arrived (each c.end <= Now()), in order.
    virtual void Receive(std::span<const Character> chars) = 0;
    // The far end holds the receive line at space (break) from now on, or releases it.
    virtual void ReceiveBreak(bool on) {}
    // The lines this DTE reads changed now.
    virtual void InputsChanged(const Inputs& inputs) {}

    // ---- transmitting, on behalf of the far end ----
    // Hand over every character that has ended by now.
    virtual void CatchUp() {}
    // The far end's batch limits may have tightened: lay the characters out again.
    virtual void ReceiverChanged() {}

    // ---- plugging ----
    // The DTE was plugged into `cable` (null: unplugged). It then announces its outputs
    // (Cable::OutputsChanged) and, if it is sending one, its break.
    virtual void Plugged(Cable* cable) = 0;
    virtual Cable* PluggedInto() const = 0;

protected:
    ~Dte() = default;
};

// A DTE's end of a cable. All calls with LineMutex() held.
class Cable {
public:
    virtual size_t Batchable(std::span<const Character> upcoming) = 0;
    virtual void Transmit(std::span<const Character> chars) = 0;
    virtual void TransmitBreak(bool on) = 0;
    virtual void OutputsChanged(const Outputs& outputs) = 0;
    // Let the far end's transmitter catch up to now.
    virtual void PullReceived() = 0;
    // This end's receiver limits tightened: the far transmitter re-plans.
    virtual void ReceiverChanged() = 0;
    // What this end's DTE reads now.
    virtual Inputs CurrentInputs() const = 0;
    virtual bool ReceivingBreak() const = 0;
    // Unplugs the whole cable.
    virtual void Disconnect() = 0;

protected:
    ~Cable() = default;
};

// Watches a cable: every character and every change of a driven line, with the end that
// sent or drove it (0 or 1). Called with LineMutex() held; must not call back into the line.
class Tap {
public:
    virtual ~Tap() = default;
    virtual void OnCharacters(int end, std::span<const Character> chars) = 0;
    virtual void OnSignal(int end, Line line, bool level, int64_t time) = 0;
};

}  // namespace kwsim::wire
