// The scripted peer: replies at exact times, failures of its expectations, floods in
// batches, and Xon/Xoff between two peers.
#include <cmath>
#include <cstring>

#include "simtest.h"
#include "simwire/cables.h"
#include "simwire/peer.h"
#include "simwire/recorder.h"

namespace kwsim::wire {
namespace {

using PeerTest = test::SimTest;

std::vector<uint8_t> Text(const char* s) { return std::vector<uint8_t>(s, s + strlen(s)); }

TEST_F(PeerTest, ARepliesAtTheTimeItsScriptSays)
{
    const Frame f = Frame::Of(9600);
    const double c = f.CharacterTicks();
    auto a = Peer::Create(f), b = Peer::Create(f);
    auto modem = NullModem::Connect(*a, *b);
    const int64_t t0 = Now();
    b->Expect(Text("ping")).Delay(2 * kMs).Send(Text("pong"));
    a->Send(Text("ping")).Expect(Text("pong"), 20 * kMs);
    a->WaitDone();
    b->WaitDone();
    EXPECT_TRUE(a->Failures().empty()) << a->Failures()[0];
    EXPECT_TRUE(b->Failures().empty());
    std::vector<Peer::Arrival> got = a->Received();
    ASSERT_EQ(got.size(), 4u);
    const int64_t pingEnd = t0 + int64_t(std::ceil(4 * c));
    EXPECT_EQ(b->Received().back().time, pingEnd);
    EXPECT_EQ(got[3].time, pingEnd + 2 * kMs + int64_t(std::ceil(4 * c)));
    EXPECT_EQ(Now(), got[3].time) << "the Expect ended with the stop bit of its last byte";

    // Failures end the script: a timeout, a wrong byte.
    b->Expect(Text("late"), 5 * kMs);
    const int64_t asked = Now();
    b->WaitDone();
    EXPECT_EQ(Now(), asked + 5 * kMs);
    ASSERT_EQ(b->Failures().size(), 1u);
    EXPECT_NE(b->Failures()[0].find("expected 4 bytes, 0 arrived within 5.0000 ms"), std::string::npos);
    b->Expect(Text("xyz")).Send(Text("never"));
    a->Send(Text("xYz")).Drain();
    b->WaitDone();
    a->WaitDone();
    ASSERT_EQ(b->Failures().size(), 2u);
    EXPECT_NE(b->Failures()[1].find("expected 0x79 as byte 2 of 3, got 0x59"), std::string::npos) << b->Failures()[1];
    EXPECT_EQ(a->ReceivedBytes(), Text("pong")) << "nothing more was sent";
}

TEST_F(PeerTest, AFloodTravelsInBatchesAndArrivesWhole)
{
    const Frame f{Rate::Ticks(5 * 26, 12), 8, Parity::None, StopBits::One};  // 921,600 requested, 923,077 run
    auto a = Peer::Create(f), b = Peer::Create(f);
    auto modem = NullModem::Connect(*a, *b);
    const int64_t t0 = Now();
    const size_t n = 100'000;
    a->Flood(n, 7).Drain();
    a->WaitDone();
    std::vector<uint8_t> got = b->ReceivedBytes();
    ASSERT_EQ(got.size(), n);
    for (size_t i = 0; i < n; i++) ASSERT_EQ(got[i], uint8_t(7 + i)) << i;
    // 100,000 characters of 10 bits at 3 MHz / 3.25: 10,833,333.3 ticks, rounded up.
    EXPECT_EQ(Now(), t0 + 10'833'334);
    EXPECT_EQ(b->Received().back().time, Now());
}

TEST_F(PeerTest, XoffHoldsAnXonXoffSenderUntilXon)
{
    const Frame f = Frame::Of(19200);
    const double c = f.CharacterTicks();
    auto a = Peer::Create(f), b = Peer::Create(f);
    a->SetHandshake({.xonXoff = true});
    auto modem = NullModem::Connect(*a, *b);
    auto rec = Recorder::Attach(*modem);
    const int64_t t0 = Now();
    a->Flood(200, 0x20).Drain();
    // b's Xoff goes out at once, its Xon 20 ms later.
    b->Xoff().Delay(20 * kMs).Xon();
    a->WaitDone();
    std::vector<Character> sent = rec->Characters(0);
    ASSERT_EQ(sent.size(), 200u);
    // The Xoff arrives at t0 + 1 character: the one on the line then finishes, and the
    // rest wait for the Xon, which arrives 20 ms later.
    const int64_t xoffAt = t0 + int64_t(std::ceil(c));
    const int64_t xonAt = t0 + 20 * kMs + int64_t(std::ceil(c));
    EXPECT_EQ(sent[1].end, t0 + int64_t(std::ceil(2 * c)));
    EXPECT_EQ(sent[1].start, xoffAt) << "a start bit beginning as the Xoff ends is on the line";
    EXPECT_EQ(sent[2].start, xonAt);
    EXPECT_EQ(b->ReceivedBytes().size(), 200u);
}

}  // namespace
}  // namespace kwsim::wire
