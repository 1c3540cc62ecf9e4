// Data through the chip: characters on the line at the exact decoded rate, bulk IN
// packets with their status bytes, 62-byte splitting and the latency timer, THRE/TEMT,
// errors from a mismatched rate, overrun, injected errors, break both ways.
#include "chip_fixture.h"

namespace kwsim::chip::test {
namespace {

using ChipData = ChipTest;

class QuadData : public ChipTest {
protected:
    ChipOptions ChipSetup() override { return {.channels = 4}; }
};

TEST_F(ChipData, WritesGoOutBackToBackAtTheDecodedRateAndFormat)
{
    struct Case {
        uint16_t divisor, fraction, format;
        size_t count;
    } cases[] = {
        {0x4138, 0, 0x0008, 10},   // 9600 8N1
        {0x001A, 0, 0x0107, 200},  // 115,385 7O1
        {0x8003, 0, 0x1208, 600},  // 923,077 8E2: more than the transmit buffers hold
        {0x2710, 0, 0x0805, 3},    // 300 5N1.5
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Baud(0, c.divisor, c.fraction), STATUS_SUCCESS);
        ASSERT_EQ(Set(0, kSetData, c.format), STATUS_SUCCESS);
        const Frame f = Ch(0).LineFrame();
        SCOPED_TRACE(f.Text());
        auto peer = wire::Peer::Create(f);
        auto cable = wire::NullModem::Connect(Ch(0), *peer);
        auto rec = wire::Recorder::Attach(*cable);
        std::vector<uint8_t> bytes = Pattern(c.count, 0x21);
        for (uint8_t& b : bytes) b &= f.DataMask();
        const int64_t t = NextFrame();
        ASSERT_EQ(Write(0, bytes), STATUS_SUCCESS);
        ASSERT_TRUE(WaitFor([&] { return peer->Received().size() == c.count; }));
        std::vector<Character> seen = rec->Characters(0);
        ASSERT_EQ(seen.size(), c.count);
        for (size_t k = 0; k < c.count; k++) {
            ASSERT_EQ(seen[k].value, bytes[k]) << k;
            ASSERT_EQ(seen[k].frame, f);
            ASSERT_EQ(seen[k].start, Edge(t, f, k)) << k;
            ASSERT_EQ(seen[k].end, Edge(t, f, k + 1)) << k;
        }
        EXPECT_EQ(peer->ReceivedBytes(), bytes);
    }
    EXPECT_EQ(Edge(0, Frame::Of(9600), 1), 10417) << "1.0417 ms a character at 9600 8N1";
}

TEST_F(ChipData, LoopBackPacketsCarryTheStatusBytesAndSplitAt62)
{
    ASSERT_EQ(Baud(0, 0x001A), STATUS_SUCCESS);
    ASSERT_EQ(Set(0, kModemCtrl, 0x0303), STATUS_SUCCESS);
    auto plug = Keep(wire::LoopBack::Plug(Ch(0)));
    Reader& reader = StartReader(0);
    Delay(5 * kMs);
    const Frame f = Ch(0).LineFrame();
    std::vector<uint8_t> bytes = Pattern(200, 0x30);
    const int64_t t = NextFrame();
    ASSERT_EQ(Write(0, bytes), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return reader.PayloadSize() == 200; }));
    EXPECT_EQ(reader.Payload(), bytes);

    std::vector<Reader::Done> done = reader.Transfers();
    ASSERT_EQ(done.size(), 2u);
    // The first read found the latency timer long run out: the status bytes alone, CTS,
    // DSR and DCD on (RTS and DTR come back through the plug), nothing to send.
    EXPECT_EQ(done[0].data, (std::vector<uint8_t>{0xB1, 0x60}));
    // The second gathered three full packets as their 62nd bytes arrived, then the rest
    // when the latency timer ran out 16 ms after the third.
    std::vector<Packet> p = Packets(done[1].data);
    ASSERT_EQ(p.size(), 4u);
    const size_t sizes[] = {62, 62, 62, 14};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(p[i].payload.size(), sizes[i]);
        EXPECT_EQ(p[i].modem, 0xB1);
    }
    EXPECT_EQ(p[0].lsr, 0x00) << "the transmitter is busy";
    EXPECT_EQ(p[3].lsr, 0x60) << "and done by the last";
    const int64_t third = (Edge(t, f, 186) / kMs + 1) * kMs;  // the frame after the 186th byte
    EXPECT_EQ(done[1].at, third + 16 * kMs + kMs) << "served at the timer's expiry, done at that frame's end";
    EXPECT_EQ(Ch(0).GetCounters().packets, 5u);
}

TEST_F(ChipData, TheLatencyTimerPacesStatusPackets)
{
    auto plug = Keep(wire::LoopBack::Plug(Ch(0)));
    struct Case {
        uint8_t latency;
        int64_t period;
    } cases[] = {{16, 16 * kMs}, {5, 5 * kMs}, {40, 40 * kMs}, {2, 2 * kMs}, {1, 2 * kMs /* a re-submitted read skips a frame */}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.latency));
        ASSERT_EQ(Set(0, kSetLatencyTimer, c.latency), STATUS_SUCCESS);
        Reader reader(Pdo(0), InPipe(0));
        Delay(200 * kMs);
        reader.Stop();
        std::vector<Reader::Done> done = reader.Transfers();
        ASSERT_GE(done.size(), 4u);
        for (size_t i = 0; i < done.size(); i++) {
            EXPECT_EQ(done[i].data, (std::vector<uint8_t>{0x01, 0x60})) << i;
            if (i >= 2) {
                EXPECT_EQ(done[i].at - done[i - 1].at, c.period) << i;
            }
        }
    }
}

TEST_F(ChipData, ThreAndTemtFollowTheTransmitter)
{
    const Frame f = Ch(0).LineFrame();
    EXPECT_EQ(Ch(0).LineStatus(), 0x60);
    const int64_t t = NextFrame();
    auto write = StartWrite(0, {1, 2, 3});
    struct Point {
        int64_t at;
        uint8_t lsr;
        const char* what;
    } points[] = {
        {t + 1, 0x00, "two waiting behind the first"},
        {Edge(t, f, 2) - 1, 0x00, "the last one still waits"},
        {Edge(t, f, 2), kLsrThre, "the last one is on the line"},
        {Edge(t, f, 3) - 1, kLsrThre, "... until its stop bit ends"},
        {Edge(t, f, 3), kLsrThre | kLsrTemt, "empty"},
    };
    for (const Point& p : points) {
        DelayUntil(p.at);
        EXPECT_EQ(Ch(0).LineStatus(), p.lsr) << p.what;
    }
    ASSERT_EQ(write->Wait(), STATUS_SUCCESS);
    // The modem-status request reports the same bits (and DR while data waits).
    const int64_t t2 = NextFrame();
    auto w = StartWrite(0, {4, 5, 6});
    DelayUntil(t2 + kMs / 2);  // served at t2 + 1 ms, in the first character
    EXPECT_EQ(Status(0), (std::vector<uint8_t>{0x01, 0x00}));
    ASSERT_EQ(w->Wait(), STATUS_SUCCESS);
}

TEST_F(ChipData, AMismatchedRateOrAForcedErrorReachesTheHostInTheLineStatus)
{
    ASSERT_EQ(Baud(0, 0x809C), STATUS_SUCCESS);  // the chip at 19200
    auto peer = wire::Peer::Create(Frame::Of(9600));
    auto cable = Keep(wire::NullModem::Connect(Ch(0), *peer));
    Reader& reader = StartReader(0);
    Delay(5 * kMs);
    peer->Send({0x00}).Delay(5 * kMs).Send({0x55}).Delay(40 * kMs);
    peer->WaitDone();
    // 0x00 read twice as fast has no stop bit; 0x55 reads as 0x66 without one and 0xE6
    // from its later half. A character with an error ends its packet.
    struct Want {
        std::vector<uint8_t> payload;
        uint8_t lsr;
    } want[] = {{{0x00}, 0x68}, {{0x66}, 0x68}, {{0xE6}, 0x60}};
    std::vector<Packet> got;
    for (Packet& p : reader.AllPackets())
        if (!p.payload.empty()) got.push_back(p);
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(got[i].payload, want[i].payload) << i;
        EXPECT_EQ(got[i].lsr, want[i].lsr) << i;
    }

    // The same rate and format with a forced parity error.
    ASSERT_EQ(Set(0, kSetData, 0x0207), STATUS_SUCCESS);  // 7E1
    peer->SetFrame(Ch(0).LineFrame());
    peer->Send({0x41, 0x42}, wire::kForceParityError).Send({0x43}).Delay(40 * kMs);
    peer->WaitDone();
    got.clear();
    for (Packet& p : reader.AllPackets())
        if (!p.payload.empty()) got.push_back(p);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[3].payload, std::vector<uint8_t>{0x41});
    EXPECT_EQ(got[3].lsr & 0x1F, kLsrParity);
    EXPECT_EQ(got[4].payload, std::vector<uint8_t>{0x42});
    EXPECT_EQ(got[4].lsr & 0x1F, kLsrParity);
    EXPECT_EQ(got[5].payload, std::vector<uint8_t>{0x43});
    EXPECT_EQ(got[5].lsr & 0x1F, 0);

    // With the error character enabled, it replaces the damaged character.
    ASSERT_EQ(Set(0, kSetErrorChar, 0x013F), STATUS_SUCCESS);
    peer->Send({0x44}, wire::kForceFramingError).Delay(40 * kMs);
    peer->WaitDone();
    Packet last = reader.AllPackets().back();
    for (Packet& p : reader.AllPackets())
        if (!p.payload.empty()) last = p;
    EXPECT_EQ(last.payload, std::vector<uint8_t>{0x3F});
    EXPECT_EQ(last.lsr & 0x1F, kLsrFraming);
}

TEST_F(ChipData, AnUnreadReceiveBufferOverrunsAndReportsItOnce)
{
    ASSERT_EQ(Baud(0, 0x001A), STATUS_SUCCESS);
    auto peer = wire::Peer::Create(Ch(0).LineFrame());
    auto cable = Keep(wire::NullModem::Connect(Ch(0), *peer));
    // 256 bytes of buffer and two packets of 62 behind it.
    peer->Flood(450, 0).Drain();
    peer->WaitDone();
    EXPECT_EQ(Ch(0).GetState().rxLevel, 380u);
    EXPECT_EQ(Ch(0).GetCounters().overruns, 70u);
    Reader& reader = StartReader(0);
    ASSERT_TRUE(WaitFor([&] { return reader.PayloadSize() == 380; }));
    Delay(50 * kMs);
    EXPECT_EQ(reader.Payload(), Pattern(380));
    std::vector<Packet> p = reader.AllPackets();
    ASSERT_GE(p.size(), 7u);
    EXPECT_EQ(p[0].lsr & kLsrOverrun, kLsrOverrun);
    for (size_t i = 1; i < p.size(); i++) EXPECT_EQ(p[i].lsr & kLsrOverrun, 0) << i;
}

TEST_F(ChipData, InjectedErrorsGoOutAtOnceAndOnce)
{
    auto plug = Keep(wire::LoopBack::Plug(Ch(0)));
    Reader& reader = StartReader(0);
    Delay(5 * kMs);  // the first status packet is out; the next read waits (NAKed)
    const size_t before = reader.Transfers().size();
    const int64_t at = Now();
    Ch(0).InjectLineErrors(kLsrParity | kLsrBreak);
    Delay(3 * kMs);
    std::vector<Reader::Done> done = reader.Transfers();
    ASSERT_EQ(done.size(), before + 1);
    EXPECT_EQ(done.back().data, (std::vector<uint8_t>{0x01, 0x74}));
    EXPECT_EQ(done.back().at, (at / kMs + 2) * kMs) << "polled in the next frame, done at its end";
    Ch(0).CorruptNextPacket(0x00);
    Delay(3 * kMs);
    done = reader.Transfers();
    ASSERT_EQ(done.size(), before + 2);
    EXPECT_EQ(done.back().data, (std::vector<uint8_t>{0x00, 0x60}));
    Delay(20 * kMs);
    done = reader.Transfers();
    EXPECT_EQ(done.back().data, (std::vector<uint8_t>{0x01, 0x60})) << "reported once";
}

TEST_F(ChipData, BreakGoesBothWays)
{
    const Frame f = Ch(0).LineFrame();
    auto peer = wire::Peer::Create(f);
    auto cable = Keep(wire::NullModem::Connect(Ch(0), *peer));
    auto rec = wire::Recorder::Attach(*cable);
    // Sending: the break starts when the character on the line ends; what is queued
    // waits for its release.
    const int64_t t = NextFrame();
    auto w = StartWrite(0, {0x61, 0x62, 0x63, 0x64, 0x65});
    DelayUntil(t + 2 * kMs);
    ASSERT_EQ(Set(0, kSetData, 0x4008), STATUS_SUCCESS);  // served at t + 3 ms, in the third character
    EXPECT_EQ(Ch(0).LineStatus() & (kLsrThre | kLsrTemt), 0);
    Delay(10 * kMs);
    const int64_t released = NextFrame();
    ASSERT_EQ(Set(0, kSetData, 0x0008), STATUS_SUCCESS);
    ASSERT_EQ(w->Wait(), STATUS_SUCCESS);
    Delay(5 * kMs);
    std::vector<Signal> b = rec->Changes(0, wire::Line::Break);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].since, Edge(t, f, 3));
    EXPECT_EQ(b[1].since, released);
    std::vector<Character> sent = rec->Characters(0);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[3].start, released);
    EXPECT_EQ(peer->ReceivedBytes(), (std::vector<uint8_t>{0x61, 0x62, 0x63, 0x64, 0x65}));

    // Receiving: a break of a character time or more is one 0x00 with BI; a shorter one
    // a 0x00 with a framing error.
    Reader& reader = StartReader(0);
    Delay(5 * kMs);
    peer->Break(5 * kMs).Delay(20 * kMs).Break(kMs / 2).Delay(20 * kMs);
    peer->WaitDone();
    std::vector<Packet> got;
    for (Packet& p : reader.AllPackets())
        if (!p.payload.empty()) got.push_back(p);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].payload, std::vector<uint8_t>{0x00});
    EXPECT_EQ(got[0].lsr, kLsrBreak | 0x60);
    EXPECT_EQ(got[1].payload, std::vector<uint8_t>{0x00});
    EXPECT_EQ(got[1].lsr, kLsrFraming | 0x60);
}

TEST_F(ChipData, StreamsBothWaysAt921600WithoutLoss)
{
    ASSERT_EQ(Baud(0, 0x8003), STATUS_SUCCESS);
    auto plug = Keep(wire::LoopBack::Plug(Ch(0)));
    Reader& reader = StartReader(0);
    const std::vector<uint8_t> block = Pattern(4096, 0x5A);
    const int blocks = 16;
    const int64_t t0 = Now();
    for (int i = 0; i < blocks; i++) ASSERT_EQ(Write(0, block), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return reader.PayloadSize() == blocks * block.size(); }));
    const double seconds = double(Now() - t0) / kSec;
    std::vector<uint8_t> got = reader.Payload();
    for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i], block[i % block.size()]) << i;
    EXPECT_EQ(Ch(0).GetCounters().overruns, 0u);
    // The line is kept busy: the time is the characters' own, the latency timer's last
    // 16 ms and a few frames.
    EXPECT_GE(got.size() / (seconds * Ch(0).GetState().rate / 10), 0.97) << seconds;
}

TEST_F(QuadData, ChannelsRunApartAndTheirMiChildrenReachOnlyThem)
{
    // A and C on loop-back plugs at different rates, B and D on a null modem.
    ASSERT_EQ(Baud(0, 0x001A), STATUS_SUCCESS);
    ASSERT_EQ(Baud(1, 0x8003), STATUS_SUCCESS);
    ASSERT_EQ(Baud(3, 0x8003), STATUS_SUCCESS);
    auto a = Keep(wire::LoopBack::Plug(Ch(0)));
    auto c = Keep(wire::LoopBack::Plug(Ch(2)));
    auto bd = Keep(wire::NullModem::Connect(Ch(1), Ch(3)));
    Reader* readers[4];
    for (int k = 0; k < 4; k++) readers[k] = &StartReader(k);
    std::vector<uint8_t> data[4];
    std::vector<std::unique_ptr<Transfer>> writes;
    const size_t sizes[] = {500, 3000, 80, 1500};
    for (int k = 0; k < 4; k++) {
        data[k] = Pattern(sizes[k], uint8_t(k * 50));
        writes.push_back(StartWrite(k, data[k]));
    }
    for (auto& w : writes) ASSERT_EQ(w->Wait(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] {
        return readers[0]->PayloadSize() == 500 && readers[1]->PayloadSize() == 1500 &&
               readers[2]->PayloadSize() == 80 && readers[3]->PayloadSize() == 3000;
    }));
    EXPECT_EQ(readers[0]->Payload(), data[0]);
    EXPECT_EQ(readers[1]->Payload(), data[3]);
    EXPECT_EQ(readers[2]->Payload(), data[2]);
    EXPECT_EQ(readers[3]->Payload(), data[1]);
    EXPECT_DOUBLE_EQ(Ch(2).GetState().rate, 9600.0);
}

}  // namespace
}  // namespace kwsim::chip::test
