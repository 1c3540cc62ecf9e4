// The channel engine over the simulated chip and serial line: data through a loop-back
// plug at every rate, written credit against the line, reads under receive pressure,
// the three handshakes against a scripted peer, line errors, and the latency policy as
// the chip is programmed after each baud change.
#include "engine_fixture.h"
#include "ftdilatency.h"
#include "simchip/chip.h"
#include "simwire/cables.h"
#include "simwire/peer.h"
#include "simwire/recorder.h"

namespace kwsim::test {
namespace {

using kwsim::chip::Chip;
using kwsim::chip::ChipChannel;
using kwsim::wire::Frame;
using kwsim::wire::LoopBack;
using kwsim::wire::NullModem;
using kwsim::wire::Peer;
using kwsim::wire::Recorder;

constexpr int64_t kSecond = 10'000'000;

std::string Dump(const std::vector<TestPort::Status>& l, size_t from)
{
    std::string out;
    char buf[32];
    for (size_t i = from; i < l.size(); i++) {
        snprintf(buf, sizeof buf, "%.4f ms 0x%02X\n", double(l[i].at) / 1e4, l[i].bits);
        out += buf;
    }
    return out;
}

int64_t CharacterTime(ULONG rate) { return 10 * ((rate + 9999999LL) / rate); }  // 8N1, as the engine counts it

class ChipEngineTest : public EngineTest {
protected:
    std::shared_ptr<kwsim::usb::Device> NewDevice() override
    {
        chip = Chip::Create({.channels = 4});
        return chip;
    }
    void SetUp() override
    {
        EngineTest::SetUp();
        Create();
        ASSERT_TRUE(port->Connect());
    }
    void TearDown() override
    {
        if (port) {
            EXPECT_EQ(port->WrongLevels(), std::vector<std::string>{});
        }
        Release();
        cable.reset();
        peer.reset();
        chip.reset();
        EngineTest::TearDown();
    }
    // Ticks one character of 8N1 takes on the line at the rate the chip really runs.
    double LineCharacter() { return 10 * 1e7 / Channel().GetState().rate; }
    ChipChannel& Channel() { return chip->Channel(1); }
    // The line settings a port opens with.
    void Open(ULONG rate, UCHAR rxTrigger = 8)
    {
        ASSERT_TRUE(port->Triggers(1, rxTrigger));
        ASSERT_TRUE(port->Baud(rate));
        ASSERT_TRUE(port->Comm(3, 0, 0));
        ASSERT_TRUE(port->Handshake(false, false, false, false, false, false, false, false));
        ASSERT_TRUE(port->Dtr(true));
        ASSERT_TRUE(port->Rts(true));
    }
    void LoopBackPlug() { cable = LoopBack::Plug(Channel()); }
    void PeerAt(ULONG rate, kwsim::wire::Parity parity = kwsim::wire::Parity::None)
    {
        peer = Peer::Create(Frame::Of(rate, 8, parity));
        cable = NullModem::Connect(Channel(), *peer);
    }
    // Waits (in virtual time) until the port holds n bytes; false on time-out.
    bool WaitReceived(size_t n, int64_t timeout, int64_t step = 5 * kMs)
    {
        for (int64_t waited = 0; port->ReceivedCount() < n; waited += step) {
            if (waited > timeout) return false;
            Delay(step);
        }
        return true;
    }

    std::shared_ptr<Chip> chip;
    std::shared_ptr<kwsim::wire::Connection> cable;
    std::shared_ptr<Peer> peer;
};

TEST_F(ChipEngineTest, TheChipRunsAsTheEngineProgrammedIt)
{
    ASSERT_TRUE(port->Baud(115200));
    ASSERT_TRUE(port->Comm(2, 2, 2));
    ASSERT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    ASSERT_TRUE(port->Dtr(true));
    ChipChannel::State s = Channel().GetState();
    EXPECT_NEAR(s.rate, 115384.6, 0.1) << "what divisor 26 really gives";
    EXPECT_EQ(s.format.dataBits, 7);
    EXPECT_EQ(s.format.parity, kwsim::chip::Parity::Even);
    EXPECT_EQ(s.format.stopBits, kwsim::chip::StopBits::Two);
    EXPECT_TRUE(s.flow.rtsCts);
    EXPECT_FALSE(s.flow.xonXoff);
    EXPECT_TRUE(s.host.dtr);
    EXPECT_FALSE(s.host.rts);
    EXPECT_EQ(s.latencyTimer, 16);
    EXPECT_EQ(chip->Channel(0).GetState().latencyTimer, 16) << "channel A untouched";
}

TEST_F(ChipEngineTest, DataComesBackThroughALoopBackPlugAtEveryRate)
{
    LoopBackPlug();
    struct Case {
        ULONG rate;
        size_t bytes;
    };
    const Case cases[] = {{300, 60}, {9600, 2000}, {38400, 6000}, {115200, 20000}, {921600, 100000}};
    for (const Case& c : cases) {
        SCOPED_TRACE("at " + std::to_string(c.rate));
        Release();
        Create();
        ASSERT_TRUE(port->Connect());
        Open(c.rate);
        const int64_t character = CharacterTime(c.rate);
        std::vector<uint8_t> data = kwsim::usb::test::Bytes(c.bytes, uint8_t(c.rate));
        port->ClearWritten();
        const int64_t t0 = Now();
        ASSERT_TRUE(port->Write(data));
        ASSERT_TRUE(WaitReceived(data.size(), int64_t(c.bytes) * character * 2 + kSecond));
        const int64_t lineTime = int64_t(double(c.bytes) * LineCharacter());
        const int64_t emulatedTime = int64_t(c.bytes) * character;
        EXPECT_EQ(port->Received(), data) << "intact and complete";
        EXPECT_GE(Now() - t0, lineTime * 99 / 100) << "no faster than the line";
        Delay(50 * kMs);
        EXPECT_EQ(port->WrittenTotal(), c.bytes) << "every byte credited once";

        // Credit: at 38,400 baud and below it follows the emulated FIFO at the character
        // rate; above, it follows the USB transfers, which end while the chip still sends.
        std::vector<TestPort::Written> w = port->WrittenReports();
        ULONG half = 0;
        int64_t halfAt = 0;
        for (const TestPort::Written& r : w) {
            half += r.bytes;
            if (half >= c.bytes / 2) {
                halfAt = r.at;
                break;
            }
        }
        if (c.rate <= 38400) {
            // One chunk (the characters of a millisecond, plus one) is credited in advance.
            const int64_t chunk = (c.rate * 1000 / 9000) / 1000 + 1;
            EXPECT_NEAR(double(halfAt - t0), double(emulatedTime / 2 - chunk * character), double(2 * character));
            EXPECT_NEAR(double(w.back().at - t0), double(emulatedTime), double(3 * character));
        } else {
            // One chunk in advance, then one report per completed transfer.
            EXPECT_EQ(w.back().at, BulkOut().back().completed);
            EXPECT_LE(w.size(), BulkOut().size() + 1);
        }
    }
}

TEST_F(ChipEngineTest, ReadsPauseUnderReceivePressureWithoutLosingAByte)
{
    LoopBackPlug();
    Open(115200);
    ASSERT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    port->SetBufferSize(2048);
    port->SetInputFlow(TestPort::Flow::Rts, 1024, 256);
    std::vector<uint8_t> data = kwsim::usb::test::Bytes(30000, 3);
    ASSERT_TRUE(port->Write(data));
    std::atomic<int> paused{0};
    port->onDelivery = [&] {
        FTDI_CHANNEL_SNAPSHOT s;
        engine->m_GetSnapshot(&s);
        if (s.ulReadNotPaused == 0) paused++;
    };
    // The application reads slowly: 200 bytes every 20 ms, about a tenth of the line.
    for (int i = 0; i < 5000 && port->ReceivedCount() < data.size(); i++) {
        Delay(20 * kMs);
        port->Consume(200);
    }
    port->Consume(1u << 20);
    ASSERT_TRUE(WaitReceived(data.size(), 10 * kSecond));
    EXPECT_EQ(port->Received(), data) << "every byte, in order";
    EXPECT_GT(paused, 0) << "reading paused while the port was full";
    port->onDelivery = nullptr;
    EXPECT_EQ(Channel().GetCounters().overruns, 0u);
    for (const TestPort::Status& l : port->Lines()) EXPECT_FALSE(l.bits & FTDI_LINE_STATUS_OE);
    std::vector<UrbRecord> reads = BulkIn();
    bool small = false;
    for (const UrbRecord& r : reads) small |= r.requested == 64;
    EXPECT_TRUE(small) << "read sizes shrank with the free space";
}

TEST_F(ChipEngineTest, RtsCtsHoldsAndReleasesTheSender)
{
    PeerAt(115200);
    Open(115200);
    ASSERT_TRUE(port->Handshake(true, true, false, false, false, false, false, false));
    // The peer drops its RTS: our CTS. What we write waits.
    peer->SetRts(false);
    Delay(10 * kMs);
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(500)));
    Delay(100 * kMs);
    EXPECT_EQ(peer->ReceivedBytes().size(), 0u) << "held while CTS is off";
    peer->SetRts(true);
    Delay(100 * kMs);
    EXPECT_EQ(peer->ReceivedBytes(), kwsim::usb::test::Bytes(500));

    // The other way: the port's buffer fills, it drops RTS, the peer stops, nothing is lost.
    port->SetBufferSize(2000);
    port->SetInputFlow(TestPort::Flow::Rts, 1000, 200);
    peer->SetHandshake({.cts = true});
    peer->Flood(6000, 1);
    Delay(200 * kMs);
    EXPECT_LT(port->ReceivedCount(), 2000u) << "the peer was held";
    EXPECT_LT(peer->Sent(), 6000u);
    for (int i = 0; i < 200 && port->ReceivedCount() < 6000; i++) {
        port->Consume(500);
        Delay(20 * kMs);
    }
    std::vector<uint8_t> expected(6000);
    for (size_t i = 0; i < expected.size(); i++) expected[i] = uint8_t(1 + i);
    EXPECT_EQ(port->Received(), expected);
}

TEST_F(ChipEngineTest, DtrDsrHoldsAndReleasesTheSender)
{
    PeerAt(38400);
    Open(38400);
    ASSERT_TRUE(port->Handshake(false, false, true, true, false, false, false, false));
    peer->SetDtr(false);  // our DSR
    Delay(10 * kMs);
    port->ClearWritten();
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(200)));
    Delay(200 * kMs);
    EXPECT_TRUE(peer->ReceivedBytes().empty());
    EXPECT_EQ(port->WrittenTotal(), 0u) << "no credit while held";
    peer->SetDtr(true);
    Delay(200 * kMs);
    EXPECT_EQ(peer->ReceivedBytes(), kwsim::usb::test::Bytes(200));
    EXPECT_EQ(port->WrittenTotal(), 200u);
}

TEST_F(ChipEngineTest, XonXoffHoldsAndReleasesBothSenders)
{
    PeerAt(19200);
    Open(19200);
    ASSERT_TRUE(port->Handshake(false, false, false, false, false, false, true, true));
    // The peer's Xoff stops us until its Xon.
    peer->Xoff();
    Delay(10 * kMs);
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(300, 0x20)));
    Delay(200 * kMs);
    EXPECT_TRUE(peer->ReceivedBytes().empty());
    peer->Xon();
    Delay(300 * kMs);
    EXPECT_EQ(peer->ReceivedBytes(), kwsim::usb::test::Bytes(300, 0x20));

    // The port's Xoff stops the peer.
    port->SetBufferSize(1500);
    port->SetInputFlow(TestPort::Flow::XonXoff, 600, 100);
    peer->SetHandshake({.xonXoff = true});
    size_t before = port->ReceivedCount();
    std::vector<uint8_t> flood(3000);
    for (size_t i = 0; i < flood.size(); i++) flood[i] = uint8_t(0x20 + i % 64);  // no flow characters
    peer->Send(flood);
    Delay(1 * kSecond);
    EXPECT_LT(port->ReceivedCount() - before, 1500u) << "the peer stopped at our Xoff";
    std::vector<uint8_t> got;
    for (int i = 0; i < 400 && got.size() < flood.size(); i++) {
        port->Consume(300);
        Delay(30 * kMs);
        std::vector<uint8_t> all = port->Received();
        got.assign(all.begin() + long(before), all.end());
    }
    // The peer's Xoff and Xon reached the port too, ahead of the flood.
    std::erase_if(got, [](uint8_t b) { return b == 0x11 || b == 0x13; });
    EXPECT_EQ(got, flood);
    EXPECT_FALSE(port->XoffSentReports().empty());
}

TEST_F(ChipEngineTest, BreakParityAndFramingErrorsReachThePortAsLineStatus)
{
    PeerAt(9600, kwsim::wire::Parity::Even);
    ASSERT_TRUE(port->Triggers(1, 8));
    ASSERT_TRUE(port->Baud(9600));
    ASSERT_TRUE(port->Comm(3, 2, 0));  // 8E1
    auto lineBits = [&](uint8_t mask) {
        uint8_t seen = 0;
        for (const TestPort::Status& l : port->Lines()) seen |= uint8_t(l.bits & mask);
        return seen;
    };
    peer->Send({'o', 'k'});
    peer->Send({'p'}, kwsim::wire::kForceParityError);
    Delay(50 * kMs);
    EXPECT_EQ(lineBits(0x04 | 0x81), 0x85) << "parity error, with data ready and FIFO error added";
    peer->Break(20 * kMs);
    Delay(50 * kMs);
    EXPECT_EQ(lineBits(0x10 | 0x08), 0x18) << "a break, also reported as a framing error";
    // A peer at half the rate: its zero still holds the line at space where the chip
    // looks for the stop bit.
    size_t lines = port->Lines().size();
    peer->SetFrame(Frame::Of(4800, 8, kwsim::wire::Parity::Even));
    peer->Send({0x00});
    Delay(50 * kMs);
    bool framing = false;
    std::vector<TestPort::Status> l = port->Lines();
    for (size_t i = lines; i < l.size(); i++) framing |= (l[i].bits & 0x08) != 0;
    EXPECT_TRUE(framing) << Dump(l, lines);
    // An overrun latched in the chip.
    Channel().InjectLineErrors(kwsim::chip::kLsrOverrun);
    Delay(50 * kMs);
    EXPECT_TRUE(port->Lines().back().bits & FTDI_LINE_STATUS_OE);
}

TEST_F(ChipEngineTest, LatencyTimerAndReadSizeFollowThePolicyAfterEveryBaudChange)
{
    ASSERT_TRUE(port->Triggers(1, 8));
    struct Policy {
        ULONG type, maximum, fineTuning, lowCpuFineTuning;
    };
    const Policy policies[] = {{1, 1040, 0, 192}, {1, 1040, 0, 255}, {0, 1040, 0, 192}, {0, 1040, 255, 192},
                               {0, 100, 0, 192}};
    for (const Policy& p : policies) {
        engine->m_SetPolicyType(p.type);
        engine->m_SetMaximumLatency(p.maximum);
        engine->m_SetMaximumLatencyFineTuning(p.fineTuning);
        engine->m_SetLowCpuUsageFineTuning(p.lowCpuFineTuning);
        for (ULONG rate : {1200u, 9600u, 38400u, 115200u, 921600u}) {
            SCOPED_TRACE("policy " + std::to_string(p.type) + "/" + std::to_string(p.maximum) + "/" +
                         std::to_string(p.fineTuning) + " at " + std::to_string(rate));
            FTDI_LATENCY_SETTING expected = p.type ? FtdiLowCpuUsagePolicy(rate, p.lowCpuFineTuning)
                                                   : FtdiSpecificLatencyPolicy(p.maximum, rate, p.fineTuning);
            ASSERT_TRUE(port->Baud(rate));
            EXPECT_EQ(Channel().GetState().latencyTimer, expected.ulLatency) << "the chip's timer";
            EXPECT_EQ(engine->m_GetRxTransferSize(), expected.ulRxTransferSize);
        }
    }
    // The worked table's corner: low CPU usage, T = 192, at 115,200 baud: 91 ms and 1,024
    // bytes, and the reads that follow are no larger.
    engine->m_SetPolicyType(1);
    engine->m_SetLowCpuUsageFineTuning(192);
    ASSERT_TRUE(port->Baud(9600));
    ASSERT_TRUE(port->Baud(115200));
    EXPECT_EQ(Channel().GetState().latencyTimer, 91);
    LoopBackPlug();
    Mark();
    ASSERT_TRUE(port->Write(kwsim::usb::test::Bytes(3000)));
    ASSERT_TRUE(WaitReceived(3000, 2 * kSecond));
    for (const UrbRecord& r : BulkIn()) EXPECT_LE(r.requested, 1024u);

    // With the receive trigger level at 1 the policy is bypassed: 16 ms, 64 bytes.
    ASSERT_TRUE(port->Triggers(1, 1));
    ASSERT_TRUE(port->Baud(9600));
    EXPECT_EQ(Channel().GetState().latencyTimer, 16);
    EXPECT_EQ(engine->m_GetRxTransferSize(), 64u);
}

TEST_F(ChipEngineTest, PowerDownAndUpKeepTheLineSettings)
{
    Open(57600);
    ASSERT_TRUE(port->Comm(2, 1, 0));
    ChipChannel::State before = Channel().GetState();
    ASSERT_TRUE(engine->m_SaveDeviceState());
    ASSERT_TRUE(engine->m_RestoreDeviceState());
    Delay(11 * kSecond);
    ChipChannel::State s = Channel().GetState();
    EXPECT_EQ(s.rate, before.rate);
    EXPECT_NEAR(s.rate, 57553.96, 0.01) << "57,600 baud is 52 1/8 of the 3 MHz clock";
    EXPECT_EQ(s.format, before.format);
    EXPECT_EQ(s.format.dataBits, 7);
    EXPECT_EQ(s.format.parity, kwsim::chip::Parity::Odd);
    EXPECT_TRUE(s.host.dtr);
    EXPECT_TRUE(s.host.rts);
    EXPECT_EQ(s.latencyTimer, before.latencyTimer);
    LoopBackPlug();
    ASSERT_TRUE(port->Write({'u', 'p'}));
    ASSERT_TRUE(WaitReceived(2, kSecond));
    EXPECT_EQ(port->Received(), (std::vector<uint8_t>{'u', 'p'}));
}

}  // namespace
}  // namespace kwsim::test
