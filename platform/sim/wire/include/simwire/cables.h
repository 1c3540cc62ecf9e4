// What joins parties on the line: a loop-back plug on one DTE, a null-modem cable between
// two. Each keeps the lines its ends drive as signals with their change times, and can
// carry taps (a Recorder).
//
//   loop-back plug   TxD -> RxD, RTS -> CTS, DTR -> DSR and DCD (RI open)
//   null modem       TxD <-> RxD, RTS <-> CTS, DTR <-> DSR and DCD, Ring -> RI
//
// Plugging a DTE that is already plugged elsewhere unplugs that cable first. A cable
// unplugs itself when it is destroyed; the DTEs then read all their inputs low.
#pragma once

#include <memory>
#include <vector>

#include "simwire/line.h"

namespace kwsim::wire {

class Connection {
public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The number of ends: 1 for a loop-back plug, 2 for a null modem (end 0 is `a`).
    int Ends() const { return ends_; }
    bool Plugged() const;
    void Unplug();
    // Adds a tap; it sees what happens from now on.
    void Attach(std::shared_ptr<Tap> tap);
    // A line of an end, as that end's DTE drives (Rts, Dtr, Ring, Break) or reads it
    // (Cts, Dsr, Ri, Dcd; a line no one drives reads low since the cable was plugged).
    Signal Level(int end, Line line) const;

protected:
    Connection(int ends, bool crossed);
    void Plug(Dte* a, Dte* b);

private:
    struct End;
    End& Far(int end) const;
    Inputs InputsOf(int end) const;
    void Tell(int end);

    int ends_;
    bool crossed_;
    std::unique_ptr<End> end_[2];
    std::vector<std::shared_ptr<Tap>> taps_;
    int64_t pluggedAt_ = 0;
};

class LoopBack final : public Connection {
public:
    static std::shared_ptr<LoopBack> Plug(Dte& dte);

private:
    LoopBack() : Connection(1, false) {}
};

class NullModem final : public Connection {
public:
    static std::shared_ptr<NullModem> Connect(Dte& a, Dte& b);

private:
    NullModem() : Connection(2, true) {}
};

}  // namespace kwsim::wire
