// Rates, formats and what a receiving UART reads from a character sent with another
// rate or format.
#include <cmath>

#include "simtest.h"
#include "simwire/frame.h"

namespace kwsim::wire {
namespace {

using Frames = test::SimTest;

// The chip's rate generator: 3 MHz / (divisor in eighths / 8); one bit is d8 * 5 / 12 ticks.
Rate ChipRate(uint32_t divisorEighths) { return Rate::Ticks(5 * divisorEighths, 12); }

TEST_F(Frames, RatesAreExactAndFormatsCountTheirBits)
{
    EXPECT_EQ(Rate::Baud(9600), ChipRate(2500)) << "312.5 is exactly 9600 baud";
    EXPECT_NE(Rate::Baud(115200), ChipRate(208)) << "the chip's 26 gives 115,385 baud";
    EXPECT_DOUBLE_EQ(ChipRate(208).Baud(), 3e6 / 26);

    struct Case {
        Frame frame;
        uint32_t halfBits;
        double ticks;
        const char* text;
    } cases[] = {
        {Frame::Of(9600), 20, 1e8 / 9600, "9600 8N1"},
        {Frame::Of(9600, 7, Parity::Even, StopBits::Two), 22, 1.1e8 / 9600, "9600 7E2"},
        {Frame::Of(300, 5, Parity::None, StopBits::OneAndHalf), 15, 7.5e7 / 300, "300 5N1.5"},
        {Frame{ChipRate(26), 8, Parity::Mark, StopBits::One}, 22, 11 * 26 * 5 / 12.0, "923077 8M1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.frame.HalfBits(), c.halfBits) << c.text;
        EXPECT_DOUBLE_EQ(c.frame.CharacterTicks(), c.ticks) << c.text;
        EXPECT_EQ(c.frame.Text(), c.text);
    }
}

TEST_F(Frames, AReceiverReadsWhatItsOwnRateAndFormatSample)
{
    const Frame f9600 = Frame::Of(9600);
    struct Case {
        const char* what;
        Frame sender;
        uint8_t value, flags;
        Frame receiver;
        std::vector<Received> read;
    } cases[] = {
        {"the same frame", f9600, 0x41, 0, f9600, {{0x41}}},
        {"1 % apart still reads exactly", f9600, 0xA5, 0, Frame::Of(9696), {{0xA5}}},
        {"4 % apart too (10 samples)", f9600, 0xA5, 0, Frame::Of(9984), {{0xA5}}},
        {"a forced parity error", Frame::Of(9600, 7, Parity::Odd), 0x41, kForceParityError,
         Frame::Of(9600, 7, Parity::Odd), {{0x41, true, false}}},
        {"... means nothing without a parity bit", f9600, 0x41, kForceParityError, f9600, {{0x41}}},
        {"a forced framing error", f9600, 0x41, kForceFramingError, f9600, {{0x41, false, true}}},
        {"7 data bits read an 8-bit character's top bit as the stop bit", f9600, 0x41, 0,
         Frame::Of(9600, 7), {{0x41, false, true}}},
        {"even parity reads the stop bit as the parity bit", f9600, 0x41, 0, Frame::Of(9600, 8, Parity::Even),
         {{0x41, true, false}}},
        {"two stop bits sent, one expected: fine", Frame::Of(9600, 8, Parity::None, StopBits::Two), 0x33, 0, f9600,
         {{0x33}}},
        {"twice as fast reads 0x00 as 0x00 without a stop bit", f9600, 0x00, 0, Frame::Of(19200),
         {{0x00, false, true}}},
        {"... and 0x55 as two characters", f9600, 0x55, 0, Frame::Of(19200), {{0x66, false, true}, {0xE6}}},
        {"half as fast misses 0xFF (no start bit at its middle)", Frame::Of(19200), 0xFF, 0, f9600, {}},
        {"... and reads 0x00 as 0xF8", Frame::Of(19200), 0x00, 0, f9600, {{0xF8}}},
    };
    for (const Case& c : cases) {
        Character ch{c.value, c.flags, c.sender, 0, 0};
        Decoded d = Decode(ch, c.receiver);
        std::vector<Received> read(d.items, d.items + d.count);
        EXPECT_EQ(read.size(), c.read.size()) << c.what;
        for (size_t i = 0; i < std::min(read.size(), c.read.size()); i++) {
            EXPECT_EQ(read[i].value, c.read[i].value) << c.what << " #" << i;
            EXPECT_EQ(read[i].parityError, c.read[i].parityError) << c.what << " #" << i;
            EXPECT_EQ(read[i].framingError, c.read[i].framingError) << c.what << " #" << i;
        }
        EXPECT_EQ(Compatible(c.sender, c.receiver), c.sender.dataBits == c.receiver.dataBits &&
                                                        c.sender.parity == c.receiver.parity &&
                                                        std::abs(c.sender.rate.Baud() / c.receiver.rate.Baud() - 1) < 0.05)
            << c.what;
    }
}

}  // namespace
}  // namespace kwsim::wire
