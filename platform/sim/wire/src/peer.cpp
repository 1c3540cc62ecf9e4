#include "simwire/peer.h"

#include <cstdio>

#include "simkernel/sim.h"

namespace kwsim::wire {

namespace {

// The peer's own transmit buffer; floods and long sends wait beyond it.
constexpr size_t kPeerBuffer = 4096;

std::string TimeText(int64_t t)
{
    char text[48];
    snprintf(text, sizeof text, "%.4f ms", double(t) / kMs);
    return text;
}

using Guard = std::lock_guard<std::recursive_mutex>;

}  // namespace

std::shared_ptr<Peer> Peer::Create(const Frame& frame) { return std::shared_ptr<Peer>(new Peer(frame)); }

Peer::Peer(const Frame& frame) : tx_(*this, kPeerBuffer), frame_(frame)
{
    tx_.SetFrame(frame);
    KeInitializeEvent(&done_, NotificationEvent, TRUE);
}

Peer::~Peer()
{
    Guard lk(LineMutex());
    if (cable_) cable_->Disconnect();
    if (wakeSet_) CancelScheduled(wakeId_);
}

void Peer::SetFrame(const Frame& frame)
{
    Guard lk(LineMutex());
    frame_ = frame;
    tx_.SetFrame(frame);
    tx_.Replan();
}

Frame Peer::GetFrame() const
{
    Guard lk(LineMutex());
    return frame_;
}

void Peer::SetHandshake(const Handshake& handshake)
{
    Guard lk(LineMutex());
    handshake_ = handshake;
    if (!handshake.xonXoff) xoffReceived_ = false;
    tx_.Replan();
}

// ---- the script ----

Peer& Peer::Add(Step step)
{
    Guard lk(LineMutex());
    steps_.push_back(std::move(step));
    KeClearEvent(&done_);
    Run();
    return *this;
}

Peer& Peer::Send(std::vector<uint8_t> bytes, uint8_t flags)
{
    return Add(Step{Step::Kind::Send, std::move(bytes), flags});
}
Peer& Peer::Xoff()
{
    Guard lk(LineMutex());
    return Add(Step{Step::Kind::Urgent, {handshake_.xoff}});
}
Peer& Peer::Xon()
{
    Guard lk(LineMutex());
    return Add(Step{Step::Kind::Urgent, {handshake_.xon}});
}
Peer& Peer::Flood(size_t count, uint8_t first)
{
    Step s{Step::Kind::Flood, {first}};
    s.count = count;
    return Add(std::move(s));
}
Peer& Peer::Drain() { return Add(Step{Step::Kind::Drain}); }
Peer& Peer::Expect(std::vector<uint8_t> bytes, int64_t timeout)
{
    Step s{Step::Kind::Expect, std::move(bytes)};
    s.time = timeout;
    return Add(std::move(s));
}
Peer& Peer::Delay(int64_t dt)
{
    Step s{Step::Kind::Delay};
    s.time = dt;
    return Add(std::move(s));
}
Peer& Peer::At(int64_t time)
{
    Step s{Step::Kind::At};
    s.time = time;
    return Add(std::move(s));
}
Peer& Peer::SetRts(bool on)
{
    Step s{Step::Kind::Lines};
    s.line = Line::Rts;
    s.level = on;
    return Add(std::move(s));
}
Peer& Peer::SetDtr(bool on)
{
    Step s{Step::Kind::Lines};
    s.line = Line::Dtr;
    s.level = on;
    return Add(std::move(s));
}
Peer& Peer::SetRing(bool on)
{
    Step s{Step::Kind::Lines};
    s.line = Line::Ring;
    s.level = on;
    return Add(std::move(s));
}
Peer& Peer::Break(int64_t duration)
{
    Step s{Step::Kind::Break};
    s.time = duration;
    return Add(std::move(s));
}
Peer& Peer::Do(std::function<void(Peer&)> fn)
{
    Step s{Step::Kind::Call};
    s.fn = std::move(fn);
    return Add(std::move(s));
}

void Peer::Run()
{
    if (running_) {  // called back from inside a step (a delivery, a room report)
        rerun_ = true;
        return;
    }
    running_ = true;
    do {
        rerun_ = false;
        while (!steps_.empty() && !failed_) {
            if (!Progress(steps_.front())) break;
            steps_.pop_front();
            active_ = false;
            if (wakeSet_) {
                CancelScheduled(wakeId_);
                wakeSet_ = false;
            }
        }
        if (failed_) {
            steps_.clear();
            active_ = false;
            failed_ = false;
        }
    } while (rerun_);
    running_ = false;
    if (steps_.empty()) KeSetEvent(&done_, IO_NO_INCREMENT, FALSE);
}

bool Peer::Progress(Step& step)
{
    const int64_t now = Now();
    const bool first = !active_;
    if (first) {
        active_ = true;
        stepStart_ = now;
        expectMatched_ = 0;
        // What has arrived by now counts, whatever batch it travels in; and a step that
        // waits for bytes changes how the far end may batch them.
        if (cable_) {
            cable_->PullReceived();
            if (step.kind == Step::Kind::Expect) cable_->ReceiverChanged();
        }
    }
    switch (step.kind) {
    case Step::Kind::Send:
        pending_.push_back(Pending{std::move(step.bytes), 0, 0, 0, step.flags});
        Feed();
        return true;
    case Step::Kind::Urgent:
        tx_.PushUrgent(step.bytes[0]);
        tx_.Replan();
        return true;
    case Step::Kind::Flood:
        pending_.push_back(Pending{{}, 0, step.count, step.bytes[0], 0});
        Feed();
        return true;
    case Step::Kind::Drain:
        return pending_.empty() && tx_.Empty();
    case Step::Kind::Expect: {
        while (cursor_ < arrivals_.size() && expectMatched_ < step.bytes.size()) {
            const Arrival& a = arrivals_[cursor_++];
            const uint8_t want = step.bytes[expectMatched_] & frame_.DataMask();
            if (a.data.value != want) {
                char text[96];
                snprintf(text, sizeof text, "expected 0x%02X as byte %zu of %zu, got 0x%02X", want, expectMatched_ + 1,
                         step.bytes.size(), a.data.value);
                Fail(std::string(text) + " at " + TimeText(a.time));
                return false;
            }
            expectMatched_++;
        }
        if (expectMatched_ == step.bytes.size()) return true;
        if (step.time > 0) {
            if (now >= stepStart_ + step.time) {
                Fail("expected " + std::to_string(step.bytes.size()) + " bytes, " + std::to_string(expectMatched_) +
                     " arrived within " + TimeText(step.time) + ", at " + TimeText(now));
                return false;
            }
            if (first) Wake(stepStart_ + step.time);
        }
        return false;
    }
    case Step::Kind::Delay:
        if (now >= stepStart_ + step.time) return true;
        if (first) Wake(stepStart_ + step.time);
        return false;
    case Step::Kind::At:
        if (now >= step.time) return true;
        if (first) Wake(step.time);
        return false;
    case Step::Kind::Lines:
        (step.line == Line::Rts ? outputs_.rts : step.line == Line::Dtr ? outputs_.dtr : outputs_.ring) = step.level;
        if (cable_) cable_->OutputsChanged(outputs_);
        return true;
    case Step::Kind::Break:
        if (first) {
            tx_.SetBreak(true);
            tx_.Replan();
            Wake(now + step.time);
            return false;
        }
        if (now < stepStart_ + step.time) return false;
        tx_.SetBreak(false);
        tx_.Replan();
        return true;
    case Step::Kind::Call:
        step.fn(*this);
        return true;
    }
    return true;
}

void Peer::Fail(std::string what)
{
    failures_.push_back(std::move(what));
    failed_ = true;
}

void Peer::Wake(int64_t at)
{
    if (wakeSet_) CancelScheduled(wakeId_);
    wakeSet_ = true;
    uint64_t g = ++wakeGeneration_;
    wakeId_ = ScheduleAt(at, [life = weak_from_this(), g] {
        std::shared_ptr<Peer> self = life.lock();
        if (!self) return;
        Guard lk(LineMutex());
        if (g != self->wakeGeneration_) return;
        self->wakeSet_ = false;
        self->Run();
    });
}

void Peer::Feed()
{
    while (!pending_.empty() && tx_.Room() > 0) {
        Pending& p = pending_.front();
        if (!p.bytes.empty()) {
            p.pos += tx_.Push(std::span<const uint8_t>(p.bytes).subspan(p.pos), p.flags);
            if (p.pos == p.bytes.size()) pending_.pop_front();
        } else {
            uint8_t chunk[256];
            size_t n = std::min({p.count, tx_.Room(), sizeof chunk});
            for (size_t i = 0; i < n; i++) chunk[i] = p.next++;
            tx_.Push(std::span<const uint8_t>(chunk, n), p.flags);
            p.count -= n;
            if (p.count == 0) pending_.pop_front();
        }
    }
    if (!pending_.empty()) tx_.WaitForRoom(kPeerBuffer / 2);
    tx_.Replan();
}

bool Peer::MayStart(bool urgent)
{
    if (handshake_.cts && !inputs_.cts) return false;
    if (handshake_.dsr && !inputs_.dsr) return false;
    return urgent || !(handshake_.xonXoff && xoffReceived_);
}

void Peer::RoomAvailable() { Feed(); }

void Peer::Delivered()
{
    if (!steps_.empty() && steps_.front().kind == Step::Kind::Drain) Run();
}

// ---- results ----

bool Peer::Done() const
{
    Guard lk(LineMutex());
    return steps_.empty();
}

void Peer::WaitDone() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }

std::vector<std::string> Peer::Failures() const
{
    Guard lk(LineMutex());
    return failures_;
}

std::vector<Peer::Arrival> Peer::Received() const
{
    Guard lk(LineMutex());
    return arrivals_;
}

std::vector<uint8_t> Peer::ReceivedBytes() const
{
    Guard lk(LineMutex());
    std::vector<uint8_t> out;
    for (const Arrival& a : arrivals_) out.push_back(a.data.value);
    return out;
}

std::vector<Signal> Peer::Breaks() const
{
    Guard lk(LineMutex());
    return breaks_;
}

Inputs Peer::ReadInputs() const
{
    Guard lk(LineMutex());
    return inputs_;
}

uint64_t Peer::Sent() const
{
    Guard lk(LineMutex());
    return tx_.Sent();
}

// ---- Dte ----

size_t Peer::Batchable(std::span<const Character> upcoming)
{
    const bool expecting = active_ && !steps_.empty() && steps_.front().kind == Step::Kind::Expect;
    size_t matched = expectMatched_;
    for (size_t i = 0; i < upcoming.size(); i++) {
        const Character& c = upcoming[i];
        if (!Compatible(c.frame, frame_)) {
            if (expecting || handshake_.xonXoff) return i + 1;
            continue;
        }
        const uint8_t v = c.value & frame_.DataMask();
        if (handshake_.xonXoff && (v == handshake_.xon || v == handshake_.xoff)) return i + 1;
        if (expecting) {
            const std::vector<uint8_t>& want = steps_.front().bytes;
            // The byte that ends the step, or fails it, is seen on time.
            if (matched + 1 >= want.size() || v != (want[matched] & frame_.DataMask())) return i + 1;
            matched++;
        }
    }
    return upcoming.size();
}

void Peer::Receive(std::span<const Character> chars)
{
    const bool held = xoffReceived_;
    for (const Character& c : chars) {
        Decoded d = Decode(c, frame_);
        for (int i = 0; i < d.count; i++) {
            arrivals_.push_back(Arrival{d.items[i], c.end});
            if (!handshake_.xonXoff) continue;
            if (d.items[i].value == handshake_.xoff)
                xoffReceived_ = true;
            else if (d.items[i].value == handshake_.xon)
                xoffReceived_ = false;
        }
    }
    if (xoffReceived_ != held) tx_.Replan();
    if (active_ && !steps_.empty() && steps_.front().kind == Step::Kind::Expect) Run();
}

void Peer::ReceiveBreak(bool on) { breaks_.push_back(Signal{on, Now()}); }

void Peer::InputsChanged(const Inputs& inputs)
{
    inputs_ = inputs;
    if (handshake_.cts || handshake_.dsr) tx_.Replan();
}

void Peer::CatchUp() { tx_.CatchUp(); }

void Peer::ReceiverChanged() { tx_.Replan(); }

void Peer::Plugged(Cable* cable)
{
    cable_ = cable;
    if (cable) {
        cable->OutputsChanged(outputs_);
        if (tx_.BreakOn()) cable->TransmitBreak(true);
        inputs_ = cable->CurrentInputs();
    } else {
        inputs_ = {};
    }
    tx_.Replan();
}

}  // namespace kwsim::wire
