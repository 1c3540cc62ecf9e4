#include "simwire/transmitter.h"

#include <algorithm>

#include "simkernel/sim.h"

namespace kwsim::wire {

Transmitter::Transmitter(TransmitterOwner& owner, size_t capacity) : owner_(owner), capacity_(capacity) {}

Transmitter::~Transmitter()
{
    if (eventAt_ >= 0) CancelScheduled(eventId_);
}

size_t Transmitter::Level() const
{
    const int64_t now = Now();
    size_t n = fifo_.size();
    for (const Planned& p : run_)
        if (!p.urgent && p.ch.start > now) n++;
    return n;
}

bool Transmitter::HoldingEmpty() const
{
    if (!fifo_.empty() || !urgent_.empty()) return false;
    const int64_t now = Now();
    for (const Planned& p : run_)
        if (p.ch.start > now) return false;
    return true;
}

bool Transmitter::Empty() const
{
    if (!HoldingEmpty()) return false;
    const int64_t now = Now();
    for (const Planned& p : run_)
        if (p.ch.end > now) return false;
    return true;
}

size_t Transmitter::Push(std::span<const uint8_t> bytes, uint8_t flags)
{
    size_t n = std::min(bytes.size(), Room());
    for (size_t i = 0; i < n; i++) fifo_.push_back(Byte{bytes[i], flags});
    return n;
}

void Transmitter::PushUrgent(uint8_t value) { urgent_.push_back(value); }

void Transmitter::Purge(bool urgent)
{
    CatchUp();
    const int64_t now = Now();
    while (!run_.empty() && run_.back().ch.start > now) {
        if (run_.back().urgent && !urgent) urgent_.push_front(run_.back().value);
        run_.pop_back();
    }
    fifo_.clear();
    if (urgent) urgent_.clear();
}

void Transmitter::SetFrame(const Frame& frame) { frame_ = frame; }

void Transmitter::SetBreak(bool on) { breakWanted_ = on; }

void Transmitter::WaitForRoom(size_t bytes) { wantRoom_ = bytes; }

void Transmitter::CatchUp()
{
    const int64_t now = Now();
    if (run_.empty() || run_.front().ch.end > now) return;
    std::vector<Character> done;
    while (!run_.empty() && run_.front().ch.end <= now) {
        done.push_back(run_.front().ch);
        lineFree_ = run_.front().end;
        run_.pop_front();
    }
    sent_ += done.size();
    // The state is complete before the far end hears of it: its reaction may come
    // straight back here.
    if (Cable* cable = owner_.TransmitCable()) cable->Transmit(done);
    owner_.Delivered();
}

void Transmitter::Replan()
{
    if (planning_) {  // a reaction to what this plan did: plan once more when it is done
        again_ = true;
        return;
    }
    planning_ = true;
    do {
        again_ = false;
        Plan();
    } while (again_);
    planning_ = false;
}

void Transmitter::Plan()
{
    const int64_t now = Now();
    CatchUp();
    // Whatever has not started goes back: the plan is made again from now.
    while (!run_.empty() && run_.back().ch.start > now) {
        const Planned& p = run_.back();
        if (p.urgent)
            urgent_.push_front(p.value);
        else
            fifo_.push_front(Byte{p.value, p.flags});
        run_.pop_back();
    }
    if (wantRoom_ && Room() >= wantRoom_) {
        wantRoom_ = 0;
        owner_.RoomAvailable();
    }
    Cable* cable = owner_.TransmitCable();
    if (breakOn_ && !breakWanted_) {
        breakOn_ = false;
        if (cable) cable->TransmitBreak(false);
    }
    if (breakWanted_ && !breakOn_ && run_.empty()) {
        breakOn_ = true;
        if (cable) cable->TransmitBreak(true);
    }

    if (!breakWanted_ && (!fifo_.empty() || !urgent_.empty())) {
        // Lay out the next run back to back from the end of the character on the line (or
        // now), in units of 1/(2 den) tick: one character is HalfBits * num of them.
        const uint64_t den = 2 * frame_.rate.den;
        const uint64_t length = uint64_t(frame_.HalfBits()) * frame_.rate.num;
        // A character follows the one before back to back, from its exact end, when that
        // end falls within this tick (the line was busy); otherwise it starts now.
        Instant base = run_.empty() ? lineFree_ : run_.front().end;
        if (base.Ceil() < now) base = Instant{now, 0, 1};
        int64_t baseTick = base.tick;
        uint64_t baseNum = (base.num * den + base.den - 1) / base.den;  // rounded up into this frame's units
        if (baseNum >= den) {
            baseTick++;
            baseNum -= den;
        }
        const bool urgentMay = owner_.MayStart(true);
        const bool queueMay = owner_.MayStart(false);
        std::vector<Planned> plan;
        size_t ui = 0, fi = 0;
        while (plan.size() < kMaxRun) {
            Planned p{};
            if (ui < urgent_.size()) {
                if (!urgentMay) break;
                p.value = urgent_[ui++];
                p.urgent = true;
            } else if (fi < fifo_.size() && queueMay) {
                p.value = fifo_[fi].value;
                p.flags = fifo_[fi].flags;
                fi++;
            } else {
                break;
            }
            const uint64_t startUnits = baseNum + plan.size() * length;
            const uint64_t endUnits = startUnits + length;
            p.end = Instant{baseTick + int64_t(endUnits / den), endUnits % den, den};
            p.ch.value = p.value;
            p.ch.flags = p.flags;
            p.ch.frame = frame_;
            p.ch.start = baseTick + int64_t(startUnits / den) + (startUnits % den ? 1 : 0);
            p.ch.end = p.end.Ceil();
            plan.push_back(p);
        }
        if (!plan.empty()) {
            size_t n = plan.size();
            if (cable) {
                scratch_.clear();
                for (const Planned& p : plan) scratch_.push_back(p.ch);
                n = std::clamp<size_t>(cable->Batchable(scratch_), 1, plan.size());
            }
            for (size_t i = 0; i < n; i++) {
                if (plan[i].urgent)
                    urgent_.pop_front();
                else
                    fifo_.pop_front();
                run_.push_back(plan[i]);
            }
        }
    }

    // The next event: the end of the batch, or the start bit that frees the room the
    // owner waits for, whichever comes first.
    int64_t next = run_.empty() ? -1 : run_.back().ch.end;
    if (wantRoom_) {
        size_t level = Level();
        if (level + wantRoom_ > capacity_) {
            size_t drop = level + wantRoom_ - capacity_;
            for (const Planned& p : run_) {
                if (p.urgent || p.ch.start <= now) continue;
                if (--drop == 0) {
                    next = next < 0 ? p.ch.start : std::min(next, p.ch.start);
                    break;
                }
            }
        }
    }
    Schedule(next);
}

void Transmitter::Schedule(int64_t at)
{
    if (at == eventAt_) return;
    if (eventAt_ >= 0) CancelScheduled(eventId_);
    generation_++;
    eventAt_ = at;
    if (at < 0) return;
    eventId_ = ScheduleAt(at, [life = owner_.Lifetime(), this, g = generation_] {
        std::shared_ptr<void> keep = life.lock();
        if (!keep) return;
        std::lock_guard<std::recursive_mutex> lk(LineMutex());
        Fire(g);
    });
}

void Transmitter::Fire(uint64_t generation)
{
    if (generation != generation_) return;  // replaced by a later plan
    eventAt_ = -1;
    Replan();
}

}  // namespace kwsim::wire
