// A recorder on a cable: every character (with its rate, format and times) and every
// change of a driven line (RTS, DTR, Ring, Break), with the end that sent or drove it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "simwire/cables.h"

namespace kwsim::wire {

class Recorder final : public Tap {
public:
    struct Entry {
        enum class Kind { Character, Signal } kind = Kind::Character;
        int64_t time = 0;  // a character: the end of its stop bit; a line: the change
        int end = 0;       // the cable end that sent or drove it
        Character character;
        Line line = Line::Rts;
        bool level = false;
    };

    // A recorder attached to `cable` from now on.
    static std::shared_ptr<Recorder> Attach(Connection& cable);

    // Everything in time order (at one instant, in the order it happened).
    std::vector<Entry> Entries() const;
    std::vector<Character> Characters(int end) const;
    std::vector<uint8_t> Bytes(int end) const;
    // The changes of one line driven by `end`.
    std::vector<Signal> Changes(int end, Line line) const;
    // One line per entry: "    1.0417 ms  0> 0x41 'A' 9600 8N1 (start 0.0000)",
    // "    3.0000 ms  1  RTS off".
    std::string Text() const;
    void Clear();

    void OnCharacters(int end, std::span<const Character> chars) override;
    void OnSignal(int end, Line line, bool level, int64_t time) override;

private:
    std::vector<Entry> entries_;
};

}  // namespace kwsim::wire
