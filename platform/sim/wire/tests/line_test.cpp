// The line itself: exact character timing, batching that keeps reactions on time, the
// wiring of the loop-back plug and the null modem, hardware handshake, break, unplugging.
#include "simtest.h"
#include "simwire/cables.h"
#include "simwire/peer.h"
#include "simwire/recorder.h"

namespace kwsim::wire {
namespace {

class LineTest : public test::SimTest {
protected:
    static void Wait(int64_t dt)
    {
        LARGE_INTEGER t = test::Relative(dt);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    // Tick (rounded up) at which character k of a burst that starts at t0 begins.
    static int64_t Edge(int64_t t0, const Frame& f, uint64_t k)
    {
        uint64_t units = k * f.HalfBits() * f.rate.num, den = 2 * f.rate.den;
        return t0 + int64_t(units / den) + (units % den ? 1 : 0);
    }
};

TEST_F(LineTest, CharactersGoOutBackToBackAtTheExactRate)
{
    struct Case {
        Frame frame;
        size_t count;
    } cases[] = {
        {Frame::Of(9600), 3},
        {Frame::Of(9600, 7, Parity::Even, StopBits::OneAndHalf), 40},
        {Frame{Rate::Ticks(5 * 26, 12), 8, Parity::None, StopBits::One}, 1000},  // the chip's 115,385 baud
        {Frame::Of(300, 5, Parity::None, StopBits::Two), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame.Text());
        auto a = Peer::Create(c.frame), b = Peer::Create(c.frame);
        auto cable = NullModem::Connect(*a, *b);
        auto rec = Recorder::Attach(*cable);
        const int64_t t0 = Now();
        std::vector<uint8_t> bytes(c.count);
        for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i * 3 + 1) & c.frame.DataMask();
        a->Send(bytes).Drain();
        a->WaitDone();
        EXPECT_EQ(Now(), Edge(t0, c.frame, c.count)) << "Drain ends with the last stop bit";
        std::vector<Character> seen = rec->Characters(0);
        ASSERT_EQ(seen.size(), c.count);
        for (size_t k = 0; k < c.count; k++) {
            ASSERT_EQ(seen[k].value, bytes[k]);
            ASSERT_EQ(seen[k].start, Edge(t0, c.frame, k)) << k;
            ASSERT_EQ(seen[k].end, Edge(t0, c.frame, k + 1)) << k;
            ASSERT_EQ(seen[k].frame, c.frame);
        }
        EXPECT_EQ(b->ReceivedBytes(), bytes);
        EXPECT_EQ(b->Received().back().time, Edge(t0, c.frame, c.count));
        EXPECT_TRUE(rec->Characters(1).empty());
    }
    // 9600 8N1: 1.0417 ms a character.
    EXPECT_EQ(Edge(0, Frame::Of(9600), 1), 10417);
    EXPECT_EQ(Edge(0, Frame::Of(9600), 3), 31250);
}

TEST_F(LineTest, CablesWireTheirLinesAndKeepTheirChangeTimes)
{
    auto a = Peer::Create(Frame::Of(9600)), b = Peer::Create(Frame::Of(9600));
    auto modem = NullModem::Connect(*a, *b);
    auto rec = Recorder::Attach(*modem);
    Wait(kMs);
    a->SetRts(true);
    Wait(kMs);
    a->SetDtr(true).SetRing(true);
    Wait(kMs);
    b->SetRts(true);
    EXPECT_EQ(b->ReadInputs(), (Inputs{true, true, true, true}));
    EXPECT_EQ(a->ReadInputs(), (Inputs{true, false, false, false}));
    EXPECT_EQ(modem->Level(1, Line::Cts).since, kMs);
    EXPECT_EQ(modem->Level(1, Line::Dcd).since, 2 * kMs);
    EXPECT_EQ(modem->Level(0, Line::Rts).since, kMs);
    EXPECT_EQ(modem->Level(0, Line::Cts).since, 3 * kMs);
    EXPECT_EQ(rec->Changes(0, Line::Dtr).size(), 1u);
    EXPECT_EQ(rec->Changes(0, Line::Dtr)[0].since, 2 * kMs);

    // A loop-back plug: what a DTE sends and drives comes back to it (RI stays open).
    auto c = Peer::Create(Frame::Of(19200));
    auto plug = LoopBack::Plug(*c);
    c->SetRts(true).SetDtr(true).SetRing(true).Send({1, 2, 3}).Expect({1, 2, 3});
    c->WaitDone();
    EXPECT_TRUE(c->Failures().empty());
    EXPECT_EQ(c->ReadInputs(), (Inputs{true, true, false, true}));

    // Unplugging drops every input; plugging a plugged DTE elsewhere unplugs it first.
    auto again = NullModem::Connect(*a, *c);
    EXPECT_FALSE(modem->Plugged());
    EXPECT_FALSE(plug->Plugged());
    EXPECT_EQ(b->ReadInputs(), Inputs{});
    EXPECT_EQ(a->ReadInputs(), (Inputs{true, true, true, true})) << "c drives RTS, DTR and Ring";
    again->Unplug();
    EXPECT_EQ(a->ReadInputs(), Inputs{});
}

TEST_F(LineTest, CtsHoldsAHandshakingSenderAfterTheCharacterOnTheLine)
{
    const Frame f = Frame::Of(9600);
    auto a = Peer::Create(f), b = Peer::Create(f);
    a->SetHandshake({.cts = true});
    auto modem = NullModem::Connect(*a, *b);
    auto rec = Recorder::Attach(*modem);
    a->Send(std::vector<uint8_t>(20, 0x55));
    Wait(5 * kMs);
    EXPECT_TRUE(rec->Characters(0).empty()) << "CTS is off";
    const int64_t on = Now();
    b->SetRts(true);
    // Off in the middle of character 4: it finishes; the fifth waits.
    Wait((Edge(0, f, 3) + Edge(0, f, 4)) / 2);
    b->SetRts(false);
    const int64_t off = Now();
    Wait(10 * kMs);
    std::vector<Character> seen = rec->Characters(0);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].start, on);
    EXPECT_EQ(seen[3].end, Edge(on, f, 4));
    EXPECT_LT(off, seen[3].end);
    const int64_t again = Now();
    b->SetRts(true);
    a->Drain();
    a->WaitDone();
    seen = rec->Characters(0);
    ASSERT_EQ(seen.size(), 20u);
    EXPECT_EQ(seen[4].start, again);
    EXPECT_EQ(Now(), Edge(again, f, 16));
}

TEST_F(LineTest, BreakHoldsTheLineAtSpace)
{
    const Frame f = Frame::Of(9600);
    auto a = Peer::Create(f), b = Peer::Create(f);
    auto modem = NullModem::Connect(*a, *b);
    auto rec = Recorder::Attach(*modem);
    const int64_t t0 = Now();
    // Sent during a character: the break waits for its stop bit; the data after it waits
    // for the break to end.
    a->Send({0x41}).Break(5 * kMs).Send({0x42}).Drain();
    a->WaitDone();
    std::vector<Signal> breaks = b->Breaks();
    ASSERT_EQ(breaks.size(), 2u);
    EXPECT_EQ(breaks[0].level, true);
    EXPECT_EQ(breaks[0].since, Edge(t0, f, 1));
    EXPECT_EQ(breaks[1].since, t0 + 5 * kMs);
    EXPECT_EQ(rec->Changes(0, Line::Break).size(), 2u);
    std::vector<Character> seen = rec->Characters(0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].start, t0 + 5 * kMs);
    EXPECT_EQ(b->ReceivedBytes(), (std::vector<uint8_t>{0x41, 0x42}));
}

}  // namespace
}  // namespace kwsim::wire
