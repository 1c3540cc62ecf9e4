// Handshakes: the peer holding the chip's transmitter (CTS, DSR, Xoff), and the chip
// holding the peer off before its receive buffer overruns (RTS, DTR, Xoff) and letting
// it go again as the host reads.
#include "chip_fixture.h"

namespace kwsim::chip::test {
namespace {

using ChipFlow = ChipTest;

TEST_F(ChipFlow, CtsAndDsrHoldTheTransmitterAfterTheCharacterOnTheLine)
{
    struct Case {
        const char* what;
        uint16_t flag;
        wire::Line line;
    } cases[] = {{"RTS/CTS", 0x0100, wire::Line::Rts}, {"DTR/DSR", 0x0200, wire::Line::Dtr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Frame f = Ch(0).LineFrame();
        auto peer = wire::Peer::Create(f);
        auto cable = wire::NullModem::Connect(Ch(0), *peer);
        auto rec = wire::Recorder::Attach(*cable);
        auto drive = [&](bool on) { c.line == wire::Line::Rts ? peer->SetRts(on) : peer->SetDtr(on); };
        ASSERT_EQ(Set(0, kSetFlowCtrl, 0x1311, c.flag), STATUS_SUCCESS);
        ASSERT_EQ(Write(0, Pattern(10, 0x41)), STATUS_SUCCESS);
        Delay(20 * kMs);
        EXPECT_TRUE(rec->Characters(0).empty()) << "held from the start";
        EXPECT_EQ(Ch(0).LineStatus() & kLsrThre, 0);
        const int64_t on = Now();
        drive(true);
        Delay((Edge(0, f, 3) + Edge(0, f, 4)) / 2);  // into the fourth character
        drive(false);
        Delay(20 * kMs);
        std::vector<Character> sent = rec->Characters(0);
        ASSERT_EQ(sent.size(), 4u);
        EXPECT_EQ(sent[0].start, on);
        EXPECT_EQ(sent[3].end, Edge(on, f, 4));
        const int64_t again = Now();
        drive(true);
        Delay(10 * kMs);
        sent = rec->Characters(0);
        ASSERT_EQ(sent.size(), 10u);
        EXPECT_EQ(sent[4].start, again);
        EXPECT_EQ(sent[9].end, Edge(again, f, 6));
        EXPECT_EQ(peer->ReceivedBytes(), Pattern(10, 0x41));
        ASSERT_EQ(Set(0, kSetFlowCtrl, 0x1311, 0), STATUS_SUCCESS);
    }
}

TEST_F(ChipFlow, AnXoffFromThePeerHoldsTheTransmitterUntilItsXon)
{
    ASSERT_EQ(Set(0, kSetFlowCtrl, 0x1311, 0x0400), STATUS_SUCCESS);
    const Frame f = Ch(0).LineFrame();
    auto peer = wire::Peer::Create(f);
    auto cable = Keep(wire::NullModem::Connect(Ch(0), *peer));
    auto rec = wire::Recorder::Attach(*cable);
    Reader& reader = StartReader(0);
    const int64_t t = NextFrame();
    auto w = StartWrite(0, Pattern(30, 0x61));
    DelayUntil(t + 5 * kMs);
    peer->Xoff().Delay(20 * kMs).Xon();
    peer->WaitDone();
    ASSERT_EQ(w->Wait(), STATUS_SUCCESS);
    Delay(50 * kMs);
    std::vector<Character> sent = rec->Characters(0);
    ASSERT_EQ(sent.size(), 30u);
    // The Xoff ends one character after t + 5 ms, within the chip's sixth character,
    // which finishes; the seventh starts when the Xon has arrived.
    const int64_t xoffEnd = t + 5 * kMs + Edge(0, f, 1);
    const int64_t xonEnd = t + 25 * kMs + Edge(0, f, 1);
    EXPECT_LT(sent[5].start, xoffEnd);
    EXPECT_GT(sent[5].end, xoffEnd);
    EXPECT_EQ(sent[6].start, xonEnd);
    EXPECT_EQ(sent[29].end, Edge(xonEnd, f, 24));
    EXPECT_EQ(reader.Payload(), (std::vector<uint8_t>{0x13, 0x11})) << "the host sees them too";
}

TEST_F(ChipFlow, InputFlowControlHoldsThePeerOffBeforeTheBufferOverruns)
{
    struct Case {
        const char* what;
        uint16_t flag;
        wire::Peer::Handshake peer;
        wire::Line line;  // the chip's line that holds the peer (Break: none, Xon/Xoff)
    } cases[] = {
        {"RTS/CTS", 0x0100, {.cts = true}, wire::Line::Rts},
        {"DTR/DSR", 0x0200, {.dsr = true}, wire::Line::Dtr},
        {"Xon/Xoff", 0x0400, {.xonXoff = true}, wire::Line::Break},
    };
    ASSERT_EQ(Baud(0, 0x001A), STATUS_SUCCESS);
    ASSERT_EQ(Set(0, kModemCtrl, 0x0303), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Set(0, kSetFlowCtrl, 0x1311, c.flag), STATUS_SUCCESS);
        auto peer = wire::Peer::Create(Ch(0).LineFrame());
        peer->SetHandshake(c.peer);
        auto cable = wire::NullModem::Connect(Ch(0), *peer);
        auto rec = wire::Recorder::Attach(*cable);
        const size_t n = 1000;
        peer->Flood(n, 0).Drain();
        Delay(150 * kMs);  // the flood would have taken 87 ms
        ChipChannel::State s = Ch(0).GetState();
        EXPECT_TRUE(s.throttled);
        EXPECT_GE(s.rxLevel, 224u);
        EXPECT_LE(s.rxLevel, 226u) << "the peer stops after a character or two";
        EXPECT_EQ(Ch(0).GetCounters().overruns, 0u);
        // Held off exactly when the 224th character had arrived.
        const int64_t full = rec->Characters(1)[223].end;
        if (c.line == wire::Line::Break) {
            std::vector<Character> sent = rec->Characters(0);
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].value, 0x13);
            EXPECT_EQ(sent[0].start, full);
        } else {
            std::vector<Signal> changes = rec->Changes(0, c.line);
            ASSERT_FALSE(changes.empty());
            EXPECT_FALSE(changes.back().level);
            EXPECT_EQ(changes.back().since, full);
        }
        // The host reads: at half full the peer may go on, and nothing is lost.
        auto reader = std::make_unique<Reader>(Pdo(0), InPipe(0));
        peer->WaitDone();
        Delay(50 * kMs);
        reader->Stop();
        EXPECT_EQ(reader->Payload(), Pattern(n));
        EXPECT_FALSE(Ch(0).GetState().throttled);
        if (c.line == wire::Line::Break)
            EXPECT_EQ(rec->Bytes(0), (std::vector<uint8_t>{0x13, 0x11}));
        else
            EXPECT_TRUE(rec->Changes(0, c.line).back().level);
        EXPECT_EQ(Ch(0).GetCounters().overruns, 0u);
    }
}

}  // namespace
}  // namespace kwsim::chip::test
