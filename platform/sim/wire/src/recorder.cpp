#include "simwire/recorder.h"

#include <algorithm>
#include <cstdio>

#include "simkernel/sim.h"

namespace kwsim::wire {

using Guard = std::lock_guard<std::recursive_mutex>;

std::shared_ptr<Recorder> Recorder::Attach(Connection& cable)
{
    auto recorder = std::make_shared<Recorder>();
    cable.Attach(recorder);
    return recorder;
}

void Recorder::OnCharacters(int end, std::span<const Character> chars)
{
    for (const Character& c : chars) {
        Entry e;
        e.kind = Entry::Kind::Character;
        e.time = c.end;
        e.end = end;
        e.character = c;
        entries_.push_back(e);
    }
}

void Recorder::OnSignal(int end, Line line, bool level, int64_t time)
{
    Entry e;
    e.kind = Entry::Kind::Signal;
    e.time = time;
    e.end = end;
    e.line = line;
    e.level = level;
    entries_.push_back(e);
}

std::vector<Recorder::Entry> Recorder::Entries() const
{
    Guard lk(LineMutex());
    // Characters travel in batches, so the two directions and the lines arrive out of
    // step; each on its own is in order.
    std::vector<Entry> sorted = entries_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Entry& a, const Entry& b) { return a.time < b.time; });
    return sorted;
}

std::vector<Character> Recorder::Characters(int end) const
{
    Guard lk(LineMutex());
    std::vector<Character> out;
    for (const Entry& e : entries_)
        if (e.kind == Entry::Kind::Character && e.end == end) out.push_back(e.character);
    return out;
}

std::vector<uint8_t> Recorder::Bytes(int end) const
{
    std::vector<uint8_t> out;
    for (const Character& c : Characters(end)) out.push_back(c.value);
    return out;
}

std::vector<Signal> Recorder::Changes(int end, Line line) const
{
    Guard lk(LineMutex());
    std::vector<Signal> out;
    for (const Entry& e : entries_)
        if (e.kind == Entry::Kind::Signal && e.end == end && e.line == line) out.push_back(Signal{e.level, e.time});
    return out;
}

std::string Recorder::Text() const
{
    std::string out;
    char line[160];
    for (const Entry& e : Entries()) {
        if (e.kind == Entry::Kind::Character) {
            const Character& c = e.character;
            snprintf(line, sizeof line, "%10.4f ms  %d> 0x%02X '%c' %s%s%s (start %.4f)\n", double(e.time) / kMs, e.end,
                     c.value, c.value >= 0x20 && c.value < 0x7F ? c.value : '.', c.frame.Text().c_str(),
                     (c.flags & kForceParityError) ? " parity-error" : "",
                     (c.flags & kForceFramingError) ? " framing-error" : "", double(c.start) / kMs);
        } else {
            snprintf(line, sizeof line, "%10.4f ms  %d  %s %s\n", double(e.time) / kMs, e.end, LineName(e.line),
                     e.level ? "on" : "off");
        }
        out += line;
    }
    return out;
}

void Recorder::Clear()
{
    Guard lk(LineMutex());
    entries_.clear();
}

}  // namespace kwsim::wire
