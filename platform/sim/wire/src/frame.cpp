#include "simwire/frame.h"

#include <bit>
#include <cmath>
#include <numeric>

namespace kwsim::wire {

Rate Rate::Ticks(uint64_t num, uint64_t den)
{
    if (num == 0) num = 1;
    if (den == 0) den = 1;
    uint64_t g = std::gcd(num, den);
    return Rate{num / g, den / g};
}

Rate Rate::Baud(uint32_t baud) { return Ticks(uint64_t(kTicksPerSecond), baud ? baud : 1); }

Frame Frame::Of(uint32_t baud, uint8_t dataBits, Parity parity, StopBits stopBits)
{
    return Frame{Rate::Baud(baud), dataBits, parity, stopBits};
}

uint32_t Frame::HalfBits() const
{
    uint32_t stop = stopBits == StopBits::One ? 2 : stopBits == StopBits::OneAndHalf ? 3 : 4;
    return 2 * (1 + dataBits + (parity == Parity::None ? 0 : 1)) + stop;
}

double Frame::CharacterTicks() const { return double(HalfBits()) * double(rate.num) / (2.0 * double(rate.den)); }

std::string Frame::Text() const
{
    static const char kParity[] = "NOEMS";
    std::string s = std::to_string(std::llround(rate.Baud())) + " " + std::to_string(dataBits) +
                    kParity[static_cast<int>(parity)];
    s += stopBits == StopBits::One ? "1" : stopBits == StopBits::OneAndHalf ? "1.5" : "2";
    return s;
}

namespace {

int ParityBits(const Frame& f) { return f.parity == Parity::None ? 0 : 1; }

bool ParityBit(Parity p, uint8_t data)
{
    bool odd = (std::popcount(unsigned(data)) & 1) != 0;
    switch (p) {
    case Parity::Odd: return !odd;
    case Parity::Even: return odd;
    case Parity::Mark: return true;
    case Parity::Space: return false;
    case Parity::None: break;
    }
    return false;
}

// The sender's waveform, in units of its own bit period from the leading edge of the
// start bit: start, data, parity, stop bits, then mark for ever.
class Waveform {
public:
    explicit Waveform(const Character& c)
    {
        const Frame& f = c.frame;
        const uint8_t data = c.value & f.DataMask();
        bits_[n_++] = false;
        for (int k = 0; k < f.dataBits; k++) bits_[n_++] = (data >> k) & 1;
        if (f.parity != Parity::None) {
            bool p = ParityBit(f.parity, data);
            bits_[n_++] = (c.flags & kForceParityError) ? !p : p;
        }
        // The first stop bit; the rest of the stop time and the idle line are mark.
        bits_[n_++] = (c.flags & kForceFramingError) == 0;
    }
    bool At(double t) const
    {
        if (t < 0) return true;
        double j = std::floor(t);
        return j < n_ ? bits_[int(j)] : true;
    }
    // The first falling edge (mark to space) after time t, or a negative value.
    double FallingEdgeAfter(double t) const
    {
        for (int j = std::max(1, int(std::floor(t)) + 1); j < n_; j++)
            if (bits_[j - 1] && !bits_[j]) return j;
        return -1;
    }

private:
    bool bits_[16] = {};
    int n_ = 0;
};

}  // namespace

bool Compatible(const Frame& sender, const Frame& receiver)
{
    if (sender.dataBits != receiver.dataBits || sender.parity != receiver.parity) return false;
    if (sender.rate == receiver.rate) return true;
    // The receiver's sample k (k = 0 start ... n-1 first stop bit) at (k + 0.5) * ratio
    // must fall inside sender bit k; the last sample is the tightest.
    const double n = 2 + receiver.dataBits + ParityBits(receiver);
    const double ratio = (double(receiver.rate.num) * double(sender.rate.den)) /
                         (double(receiver.rate.den) * double(sender.rate.num));
    return ratio > (n - 1) / (n - 0.5) && ratio < n / (n - 0.5);
}

Decoded Decode(const Character& c, const Frame& receiver)
{
    Decoded out;
    if (Compatible(c.frame, receiver)) {
        Received& r = out.items[out.count++];
        r.value = c.value & receiver.DataMask();
        r.parityError = (c.flags & kForceParityError) && receiver.parity != Parity::None;
        r.framingError = (c.flags & kForceFramingError) != 0;
        return out;
    }
    const Waveform wave(c);
    // The receiver's bit period in units of the sender's.
    const double ratio = (double(receiver.rate.num) * double(c.frame.rate.den)) /
                         (double(receiver.rate.den) * double(c.frame.rate.num));
    const int dataBits = receiver.dataBits;
    const int stopIndex = 1 + dataBits + ParityBits(receiver);
    double edge = 0;  // the leading edge of the start bit the receiver syncs on
    while (out.count < Decoded::kMax) {
        auto sample = [&](int k) { return wave.At(edge + (k + 0.5) * ratio); };
        double hunt = edge + 0.5 * ratio;
        if (!sample(0)) {  // a start bit still low at its middle: a character
            Received r;
            for (int k = 0; k < dataBits; k++)
                if (sample(1 + k)) r.value |= uint8_t(1u << k);
            if (receiver.parity != Parity::None) r.parityError = sample(1 + dataBits) != ParityBit(receiver.parity, r.value);
            r.framingError = !sample(stopIndex);
            out.items[out.count++] = r;
            hunt = edge + (stopIndex + 0.5) * ratio;
        }
        edge = wave.FallingEdgeAfter(hunt);
        if (edge < 0) break;
    }
    return out;
}

}  // namespace kwsim::wire
