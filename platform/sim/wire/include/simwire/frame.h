// Characters on the simulated serial line: the rate and format they were sent with, and
// what a UART configured for some rate and format reads from them.
//
// Times are the simulated kernel's 100-ns ticks. A bit period is kept as an exact
// fraction of ticks, so a chip running at 3 MHz / (divisor) and a peer at an integer
// rate both keep exact character times over any run of characters.
#pragma once

#include <cstdint>
#include <string>

namespace kwsim::wire {

inline constexpr int64_t kTicksPerSecond = 10'000'000;

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OneAndHalf, Two };

// One bit period: num / den ticks, reduced (so equal rates compare equal).
struct Rate {
    uint64_t num = 3125;  // 9600 baud
    uint64_t den = 3;

    // An integer rate in bits per second: 10^7 / baud ticks.
    static Rate Baud(uint32_t baud);
    // An exact bit period of num / den ticks.
    static Rate Ticks(uint64_t num, uint64_t den);
    double Baud() const { return double(kTicksPerSecond) * double(den) / double(num); }
    bool operator==(const Rate&) const = default;
};

struct Frame {
    Rate rate;
    uint8_t dataBits = 8;  // 5..8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool operator==(const Frame&) const = default;

    static Frame Of(uint32_t baud, uint8_t dataBits = 8, Parity parity = Parity::None,
                    StopBits stopBits = StopBits::One);
    // Start, data, parity and stop bits of one character, in half bits (8N1: 20).
    uint32_t HalfBits() const;
    // One character's length in ticks (not rounded).
    double CharacterTicks() const;
    uint8_t DataMask() const { return uint8_t((1u << dataBits) - 1); }
    // "9600 8N1", "115385 7E2", "9600 8N1.5" (the rate rounded to whole bits per second).
    std::string Text() const;
};

// Faults a sender puts on a character (a test's way to make a receiver see errors).
enum CharacterFlags : uint8_t {
    kForceParityError = 0x01,   // the parity bit goes out inverted (nothing without parity)
    kForceFramingError = 0x02,  // the first stop bit goes out as space
};

// One character on the wire. Both times are rounded up to the tick: `end` is the first
// tick at which the last stop bit has ended, i.e. when the receiver has the character.
// Characters sent back to back have start == previous end.
struct Character {
    uint8_t value = 0;  // the data bits, least significant bit first on the wire
    uint8_t flags = 0;  // CharacterFlags
    Frame frame;        // the sender's rate and format
    int64_t start = 0;
    int64_t end = 0;
};

// What a receiving UART makes of a character.
struct Received {
    uint8_t value = 0;  // masked to the receiver's data bits
    bool parityError = false;
    bool framingError = false;
    bool operator==(const Received&) const = default;
};

// A sent character read by a receiver whose rate or format differs can give no
// character, one, or (a much faster receiver) a few.
struct Decoded {
    static constexpr int kMax = 6;
    Received items[kMax];
    int count = 0;
};

// Whether a receiver at `receiver` reads every character sent at `sender` exactly as sent:
// the same data bits and parity, and rates close enough that each of its mid-bit samples
// falls inside the bit it samples. Stop bits may differ: a receiver looks at the first.
bool Compatible(const Frame& sender, const Frame& receiver);

// What a UART configured for `receiver` reads from `c`, as a real one would: it syncs on
// the falling edge of the start bit, samples each bit in the middle of its own bit
// period, checks parity and the first stop bit (space: framing error), and after the
// stop sample hunts for the next falling edge within the character (the line idles at
// mark after it). A forced parity or framing error is seen only by a receiver that
// samples that bit.
Decoded Decode(const Character& c, const Frame& receiver);

}  // namespace kwsim::wire
