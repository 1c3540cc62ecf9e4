#include "simwire/cables.h"

#include "simkernel/sim.h"

namespace kwsim::wire {

std::recursive_mutex& LineMutex()
{
    static std::recursive_mutex mu;
    return mu;
}

const char* LineName(Line line)
{
    switch (line) {
    case Line::Rts: return "RTS";
    case Line::Dtr: return "DTR";
    case Line::Ring: return "Ring";
    case Line::Break: return "Break";
    case Line::Cts: return "CTS";
    case Line::Dsr: return "DSR";
    case Line::Ri: return "RI";
    case Line::Dcd: return "DCD";
    }
    return "?";
}

struct Connection::End final : Cable {
    Connection* conn = nullptr;
    int index = 0;
    Dte* dte = nullptr;
    Signal rts, dtr, ring, brk;

    End& FarEnd() const { return conn->Far(index); }
    int FarIndex() const { return conn->crossed_ ? 1 - index : index; }

    void Changed(Signal& s, Line line, bool level)
    {
        if (s.level == level) return;
        s = Signal{level, Now()};
        for (auto& tap : conn->taps_) tap->OnSignal(index, line, level, s.since);
    }

    size_t Batchable(std::span<const Character> upcoming) override
    {
        Dte* far = FarEnd().dte;
        return far ? far->Batchable(upcoming) : upcoming.size();
    }
    void Transmit(std::span<const Character> chars) override
    {
        for (auto& tap : conn->taps_) tap->OnCharacters(index, chars);
        if (Dte* far = FarEnd().dte) far->Receive(chars);
    }
    void TransmitBreak(bool on) override
    {
        if (brk.level == on) return;
        Changed(brk, Line::Break, on);
        if (Dte* far = FarEnd().dte) far->ReceiveBreak(on);
    }
    void OutputsChanged(const Outputs& o) override
    {
        Outputs before{rts.level, dtr.level, ring.level};
        if (before == o) return;
        Changed(rts, Line::Rts, o.rts);
        Changed(dtr, Line::Dtr, o.dtr);
        Changed(ring, Line::Ring, o.ring);
        conn->Tell(FarIndex());
    }
    void PullReceived() override
    {
        if (Dte* far = FarEnd().dte) far->CatchUp();
    }
    void ReceiverChanged() override
    {
        if (Dte* far = FarEnd().dte) far->ReceiverChanged();
    }
    Inputs CurrentInputs() const override { return conn->InputsOf(index); }
    bool ReceivingBreak() const override { return FarEnd().brk.level; }
    void Disconnect() override { conn->Unplug(); }
};

Connection::Connection(int ends, bool crossed) : ends_(ends), crossed_(crossed)
{
    for (int i = 0; i < ends_; i++) {
        end_[i] = std::make_unique<End>();
        end_[i]->conn = this;
        end_[i]->index = i;
    }
}

Connection::~Connection() { Unplug(); }

Connection::End& Connection::Far(int end) const { return *end_[crossed_ ? 1 - end : end]; }

Inputs Connection::InputsOf(int end) const
{
    const End& f = Far(end);
    if (!end_[end]->dte) return {};
    return Inputs{f.rts.level, f.dtr.level, crossed_ && f.ring.level, f.dtr.level};
}

void Connection::Tell(int end)
{
    if (Dte* dte = end_[end]->dte) dte->InputsChanged(InputsOf(end));
}

void Connection::Plug(Dte* a, Dte* b)
{
    std::lock_guard<std::recursive_mutex> lk(LineMutex());
    Dte* dtes[2] = {a, b};
    for (int i = 0; i < ends_; i++)
        if (Cable* old = dtes[i]->PluggedInto()) old->Disconnect();
    pluggedAt_ = Now();
    for (int i = 0; i < ends_; i++) {
        End& e = *end_[i];
        e.dte = dtes[i];
        e.rts = e.dtr = e.ring = e.brk = Signal{false, pluggedAt_};
    }
    for (int i = 0; i < ends_; i++) end_[i]->dte->Plugged(end_[i].get());
    for (int i = 0; i < ends_; i++) Tell(i);
}

bool Connection::Plugged() const
{
    std::lock_guard<std::recursive_mutex> lk(LineMutex());
    return end_[0]->dte != nullptr;
}

void Connection::Unplug()
{
    std::lock_guard<std::recursive_mutex> lk(LineMutex());
    if (!end_[0]->dte) return;
    Dte* dtes[2] = {};
    for (int i = 0; i < ends_; i++) {
        End& e = *end_[i];
        dtes[i] = e.dte;
        e.dte = nullptr;
        e.Changed(e.rts, Line::Rts, false);
        e.Changed(e.dtr, Line::Dtr, false);
        e.Changed(e.ring, Line::Ring, false);
        e.Changed(e.brk, Line::Break, false);
    }
    for (int i = 0; i < ends_; i++) dtes[i]->Plugged(nullptr);
}

void Connection::Attach(std::shared_ptr<Tap> tap)
{
    std::lock_guard<std::recursive_mutex> lk(LineMutex());
    taps_.push_back(std::move(tap));
}

Signal Connection::Level(int end, Line line) const
{
    std::lock_guard<std::recursive_mutex> lk(LineMutex());
    const End& e = *end_[end];
    const End& f = Far(end);
    switch (line) {
    case Line::Rts: return e.rts;
    case Line::Dtr: return e.dtr;
    case Line::Ring: return e.ring;
    case Line::Break: return e.brk;
    case Line::Cts: return f.rts;
    case Line::Dsr:
    case Line::Dcd: return f.dtr;
    case Line::Ri: return f.ring;
    }
    return {};
}

std::shared_ptr<LoopBack> LoopBack::Plug(Dte& dte)
{
    std::shared_ptr<LoopBack> plug(new LoopBack);
    plug->Connection::Plug(&dte, nullptr);
    return plug;
}

std::shared_ptr<NullModem> NullModem::Connect(Dte& a, Dte& b)
{
    std::shared_ptr<NullModem> cable(new NullModem);
    cable->Connection::Plug(&a, &b);
    return cable;
}

}  // namespace kwsim::wire
