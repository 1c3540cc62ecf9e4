// The chip's side of the protocol: reading request words and framing bulk-in packets.
#include <numeric>

#include "simchip/chipprotocol.h"
#include "simtest.h"

namespace kwsim::chip {
namespace {

// Pure functions, run under the sim fixture like every test of the simulated PC.
using ChipBaud = test::SimTest;
using ChipWords = test::SimTest;
using ChipPackets = test::SimTest;

TEST_F(ChipBaud, DivisorWordsGiveTheRateTheLineRunsAt)
{
    struct Case {
        uint16_t divisor, fraction;
        double rate;
    } cases[] = {
        {0x4138, 0, 9600.0},            // 312 + 1/2
        {0x809C, 0, 19200.0},           // 156 + 1/4
        {0xC04E, 0, 38400.0},           // 78 + 1/8
        {0x001A, 0, 3e6 / 26},          // 26
        {0x0003, 1, 3e6 / 3.375},       // 3 + 3/8: the third code bit is the fraction word
        {0x4003, 1, 3e6 / 3.625},       // 3 + 5/8
        {0x8003, 1, 3e6 / 3.75},        // 3 + 3/4
        {0xC001, 1, 1'600'000.0},       // 1 + 7/8
        {0x0001, 0, 3'000'000.0},
        {0x0000, 0, 3'000'000.0},       // integer 0 runs at the fastest rate
        {0xFFFF, 1, 3e6 / 16383.875},   // the slowest setting, about 183.1 baud
    };
    for (const Case& c : cases) {
        BaudSetting s = DecodeBaudDivisor(c.divisor, c.fraction);
        EXPECT_DOUBLE_EQ(s.Rate(), c.rate) << std::hex << c.divisor << "/" << c.fraction;
    }
    EXPECT_EQ(DecodeBaudDivisor(0xFFFF, 1).integer, 0x3FFFu) << "only 14 bits of integer divisor";
    EXPECT_EQ(DecodeBaudDivisor(0x4138, 2).eighths, 4u) << "only bit 0 of the fraction word counts";
}

TEST_F(ChipBaud, WithinIsExactAtTheLimit)
{
    BaudSetting s{100, 0};  // 30,000 baud
    EXPECT_TRUE(s.Within(30'000, 0));
    EXPECT_TRUE(s.Within(30'303, 1));   // 30,000 is 0.9999 % below
    EXPECT_FALSE(s.Within(30'304, 1));  // ... and 1.0000 % below
    EXPECT_TRUE(s.Within(29'703, 1));
    EXPECT_FALSE(s.Within(29'702, 1));
}

TEST_F(ChipBaud, TheRequestCarriesTheFractionByDeviceKind)
{
    BaudRequest composite = DecodeBaudRequest(0xC001, 0x0103, true);
    EXPECT_EQ(composite.channel, 3);
    EXPECT_EQ(composite.setting.eighths, 7u);
    BaudRequest single = DecodeBaudRequest(0xC001, 0x0001, false);
    EXPECT_EQ(single.channel, 0);
    EXPECT_EQ(single.setting.eighths, 7u);
    EXPECT_EQ(DecodeBaudRequest(0xC001, 0x0100, false).setting.eighths, 1u) << "code 3 (1/8): the high byte means nothing without interfaces";
}

TEST_F(ChipWords, DataFormat)
{
    EXPECT_EQ(DecodeDataFormat(0x0008), (LineFormat{8, Parity::None, StopBits::One, false}));
    EXPECT_EQ(DecodeDataFormat(0x0107), (LineFormat{7, Parity::Odd, StopBits::One, false}));
    EXPECT_EQ(DecodeDataFormat(0x0A05), (LineFormat{5, Parity::Even, StopBits::OneAndHalf, false}));
    EXPECT_EQ(DecodeDataFormat(0x5406), (LineFormat{6, Parity::Space, StopBits::Two, true}));
    EXPECT_EQ(DecodeDataFormat(0x0308), (LineFormat{8, Parity::Mark, StopBits::One, false}));
    for (uint16_t bad : {0x0004, 0x0009, 0x0508, 0x1808}) EXPECT_FALSE(DecodeDataFormat(bad)) << std::hex << bad;
}

TEST_F(ChipWords, FlowAndModemControl)
{
    EXPECT_EQ(DecodeFlowControl(0x1311, 0x0502), (FlowControl{0x11, 0x13, 2, true, false, true}));
    EXPECT_EQ(DecodeFlowControl(0x0000, 0x0201), (FlowControl{0, 0, 1, false, true, false}));

    ModemLines both{true, true};
    EXPECT_EQ(ApplyModemControl(both, 0x0100), (ModemLines{false, true}));
    EXPECT_EQ(ApplyModemControl(both, 0x0200), (ModemLines{true, false}));
    EXPECT_EQ(ApplyModemControl(both, 0x0300), (ModemLines{false, false}));
    EXPECT_EQ(ApplyModemControl({}, 0x0301), (ModemLines{true, false}));
    EXPECT_EQ(ApplyModemControl({}, 0x0003), (ModemLines{false, false})) << "levels without a mask change nothing";
    EXPECT_EQ(DecodeModemControl(0x0301), (ModemControl{true, true, true, false}));
    EXPECT_EQ(DecodeModemControl(0x0202), (ModemControl{false, false, true, true}));
    EXPECT_EQ(DecodeModemControl(0x0003), (ModemControl{false, true, false, true})) << "levels are read, not selected";
}

TEST_F(ChipPackets, StatusBytes)
{
    EXPECT_EQ(ModemStatusByte({}), 0x01);
    EXPECT_EQ(ModemStatusByte({true, false, false, false}), 0x11);
    EXPECT_EQ(ModemStatusByte({true, true, true, true}), 0xF1);
    EXPECT_EQ(LineStatusByte({}), 0x00);
    EXPECT_EQ(LineStatusByte({.holdingEmpty = true, .transmitterEmpty = true}), 0x60);
    EXPECT_EQ(LineStatusByte({true, true, true, true, true, true, true, true}), 0xFF);

    // Read back as a host reads them: every status the chip can send round-trips.
    for (unsigned high = 0; high < 16; high++) {
        const uint8_t byte = uint8_t(high << 4 | 1);
        std::optional<ModemStatus> m = DecodeModemStatus(byte);
        ASSERT_TRUE(m) << std::hex << unsigned(byte);
        EXPECT_EQ(ModemStatusByte(*m), byte);
    }
    for (uint8_t bad : {0x00, 0x30, 0x32, 0xFF}) EXPECT_FALSE(DecodeModemStatus(bad)) << std::hex << unsigned(bad);
    for (unsigned byte = 0; byte < 256; byte++) EXPECT_EQ(LineStatusByte(DecodeLineStatus(uint8_t(byte))), byte);
    EXPECT_EQ(DecodeLineStatus(0x62), (LineStatus{.overrun = true, .holdingEmpty = true, .transmitterEmpty = true}));
}

TEST_F(ChipPackets, PayloadIsFramedInSixtyTwoByteSlices)
{
    std::vector<uint8_t> payload(130);
    std::iota(payload.begin(), payload.end(), 0);
    struct Case {
        size_t bytes;
        size_t transferLength;
    } cases[] = {{0, 2}, {1, 3}, {62, 64}, {63, 67}, {124, 128}, {130, 136}};
    for (const Case& c : cases) {
        std::vector<uint8_t> t = BuildPackets(0x31, 0x60, std::span(payload).first(c.bytes));
        ASSERT_EQ(t.size(), c.transferLength) << c.bytes;
        std::vector<uint8_t> data;
        for (size_t at = 0; at < t.size(); at += kPacketSize) {
            EXPECT_EQ(t[at], 0x31) << c.bytes << " @" << at;
            EXPECT_EQ(t[at + 1], 0x60) << c.bytes << " @" << at;
            data.insert(data.end(), t.begin() + at + 2, t.begin() + std::min(at + kPacketSize, t.size()));
        }
        EXPECT_EQ(data, std::vector<uint8_t>(payload.begin(), payload.begin() + c.bytes)) << c.bytes;
    }
    std::vector<uint8_t> one;
    AppendPacket(one, 0x01, 0x00, payload);
    EXPECT_EQ(one.size(), kPacketSize) << "a packet takes at most 62 payload bytes";
}

}  // namespace
}  // namespace kwsim::chip
