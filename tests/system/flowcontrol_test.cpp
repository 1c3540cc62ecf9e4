// Flow control through the application's requests: a slow reader with a small receive
// queue makes reading pause and the line stop without losing a byte, and each handshake
// holds and releases the sender in both directions against a scripted peer.
#include "simwire/recorder.h"
#include "systemtest.h"

namespace kwsim::test {
namespace {

using kwsim::wire::Frame;
using kwsim::wire::Line;
using kwsim::wire::Peer;
using kwsim::wire::Recorder;

class FlowControlTest : public SystemTest {
protected:
    // A small system: a port's receive buffer starts at 512 bytes, so the queue size the
    // application sets is the size that counts.
    BootOptions Options() override
    {
        BootOptions options = SystemTest::Options();
        options.systemSize = MmSmallSystem;
        return options;
    }
    // Data without the flow-control characters.
    static std::vector<uint8_t> Plain(size_t n, uint8_t seed)
    {
        std::vector<uint8_t> v = Pattern(n, seed);
        for (uint8_t& b : v)
            if (b == 0x11 || b == 0x13) b = 0x20;
        return v;
    }
    // Reads return at once with what the port holds.
    static void ReadWhatIsThere(Port& port) { ASSERT_EQ(port.Timeouts(MAXULONG, 0, 0), STATUS_SUCCESS); }
    static bool Dropped(const Recorder& recorder, Line line)
    {
        for (const kwsim::wire::Signal& s : recorder.Changes(0, line))
            if (!s.level) return true;
        return false;
    }
    static bool SentCharacter(const Recorder& recorder, uint8_t value)
    {
        for (uint8_t b : recorder.Bytes(0))
            if (b == value) return true;
        return false;
    }
};

TEST_F(FlowControlTest, ReadsPauseAndResumeUnderReceivePressureWithoutLosingAByte)
{
    auto recorder = Recorder::Attach(LoopBackPlug(0));
    Port& port = OpenPort(0, 115200);
    ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{1024, 0}), STATUS_SUCCESS);
    // RTS stops the line when fewer than 256 bytes of the queue are free and starts it
    // again below 256 held; CTS (our own RTS through the plug) holds the sender.
    ASSERT_EQ(port.HandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 256, 256), STATUS_SUCCESS);
    ReadWhatIsThere(port);
    Settle();
    usb->ClearLog();

    const std::vector<uint8_t> data = Pattern(12000, 7);
    AppRequest write = port.file.WriteAsync(data.data(), ULONG(data.size()));
    std::vector<uint8_t> got;
    // The application takes 100 bytes every 20 ms, under half of what the line brings.
    for (int i = 0; i < 2000 && got.size() < data.size(); i++) {
        Delay(20 * kMs);
        SERIAL_STATUS status = port.CommStatus();
        EXPECT_LE(status.AmountInInQueue, 1024u) << "never beyond the queue";
        std::vector<uint8_t> part = port.Read(100);
        got.insert(got.end(), part.begin(), part.end());
    }
    ASSERT_EQ(write.Wait().status, STATUS_SUCCESS);
    EXPECT_TRUE(got == data) << "every byte, in order (" << got.size() << " of " << data.size() << ")";
    EXPECT_EQ(adapter->Chip().Channel(0).GetCounters().overruns, 0u) << "the chip lost nothing";
    EXPECT_EQ(port.CommStatus().Errors, 0u);
    EXPECT_TRUE(Dropped(*recorder, Line::Rts)) << "RTS stopped the line";
    // Reading stopped at one packet as the free space ran out (the engine pauses there
    // until the delivery is taken) and grew again after.
    const std::vector<kwsim::usb::UrbRecord> reads = Bulk(0, true);
    size_t firstSmall = reads.size();
    for (size_t i = 0; i < reads.size(); i++)
        if (reads[i].requested == 64 && firstSmall == reads.size()) firstSmall = i;
    ASSERT_LT(firstSmall, reads.size()) << "no one-packet read";
    bool grew = false;
    for (size_t i = firstSmall; i < reads.size(); i++) grew |= reads[i].requested > 64;
    EXPECT_TRUE(grew) << "reads grew again as the application caught up";
}

// Each handshake against a peer on a null modem: first the peer holds us off and lets us
// go; then the peer floods a port whose application does not read, and the port's own
// input flow stops it before the queue overflows.
TEST_F(FlowControlTest, EachHandshakeHoldsAndReleasesTheSenderBothWays)
{
    struct Case {
        const char* name;
        ULONG rate;
        ULONG control, flow;
        ULONG holdReason;  // what GET_COMMSTATUS names while the peer holds us
        std::function<void(Peer&)> hold, release;
        Peer::Handshake peerHandshake;
        std::function<bool(const Recorder&)> stoppedThePeer;
    };
    const Case cases[] = {
        {"RTS/CTS", 115200, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, SERIAL_TX_WAITING_FOR_CTS,
         [](Peer& p) { p.SetRts(false); }, [](Peer& p) { p.SetRts(true); }, {.cts = true},
         [](const Recorder& r) { return Dropped(r, Line::Rts); }},
        {"DTR/DSR", 38400, SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL, SERIAL_TX_WAITING_FOR_DSR,
         [](Peer& p) { p.SetDtr(false); }, [](Peer& p) { p.SetDtr(true); }, {.dsr = true},
         [](const Recorder& r) { return Dropped(r, Line::Dtr); }},
        {"Xon/Xoff", 19200, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE,
         SERIAL_TX_WAITING_FOR_XON, [](Peer& p) { p.Xoff(); }, [](Peer& p) { p.Xon(); }, {.xonXoff = true},
         [](const Recorder& r) { return SentCharacter(r, 0x13); }},
    };
    int channel = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer& peer = PeerOn(channel, Frame::Of(c.rate, 8, kwsim::wire::Parity::None));
        auto recorder = Recorder::Attach(*cables.back());
        Port& port = OpenPort(channel, c.rate);
        ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{1024, 0}), STATUS_SUCCESS);
        ASSERT_EQ(port.HandFlow(c.control, c.flow, 256, 256), STATUS_SUCCESS);
        ReadWhatIsThere(port);
        const double character = LineCharacter(channel);

        // Output: held while the peer says so, released after.
        c.hold(peer);
        Delay(20 * kMs);
        const std::vector<uint8_t> out = Plain(400, uint8_t(channel));
        AppRequest write = port.file.WriteAsync(out.data(), ULONG(out.size()));
        Delay(200 * kMs);
        EXPECT_TRUE(peer.ReceivedBytes().empty()) << "nothing sent while held";
        EXPECT_FALSE(write.Done());
        EXPECT_TRUE(port.CommStatus().HoldReasons & c.holdReason);
        const int64_t released = Now();
        c.release(peer);
        AppResult w = write.Wait();
        EXPECT_EQ(w.status, STATUS_SUCCESS);
        Delay(int64_t(256 * character) + 2 * kMs);  // what the chip still buffered at the completion
        EXPECT_EQ(peer.ReceivedBytes(), out);
        // Once released the 400 bytes go at the line's pace: the release reaching the
        // chip (a character for Xon, at most one latency period of 16 ms for the line
        // change to reach the engine) and a few frames of USB.
        EXPECT_LE(write.CompletedAt() - released, int64_t(400 * character * 1.01) + 20 * kMs);
        // At 38,400 baud and below the credit counts characters only while the line may
        // send: not before the bytes but the advance chunk (at most 5 here) have gone.
        if (c.rate <= 38400) {
            EXPECT_GE(write.CompletedAt() - released, int64_t((400 - 5) * character));
        }
        port.Read(100);  // the peer's flow characters, if any
        EXPECT_EQ(port.CommStatus().HoldReasons & c.holdReason, 0u);

        // Input: the application does not read; the port stops the peer.
        peer.SetHandshake(c.peerHandshake);
        std::vector<uint8_t> flood(4000);
        for (size_t i = 0; i < flood.size(); i++) flood[i] = uint8_t(0x20 + i % 64);  // no flow characters
        const uint64_t sentBefore = peer.Sent();
        peer.Send(flood);
        Delay(int64_t(3000 * character));  // time for 3000 of them
        EXPECT_LT(peer.Sent() - sentBefore, 1024u + 380u) << "the peer was stopped";
        EXPECT_TRUE(c.stoppedThePeer(*recorder));
        EXPECT_LE(port.CommStatus().AmountInInQueue, 1024u);
        std::vector<uint8_t> got;
        for (int i = 0; i < 1000 && got.size() < flood.size(); i++) {
            std::vector<uint8_t> part = port.Read(300);
            got.insert(got.end(), part.begin(), part.end());
            Delay(int64_t(600 * character));
        }
        EXPECT_TRUE(got == flood) << "every byte, in order (" << got.size() << " of " << flood.size() << ")";
        EXPECT_EQ(adapter->Chip().Channel(channel).GetCounters().overruns, 0u);
        EXPECT_EQ(port.CommStatus().Errors, 0u);
        EXPECT_TRUE(peer.Failures().empty());
        ASSERT_EQ(port.Close(), STATUS_SUCCESS);
        channel++;
    }
}

}  // namespace
}  // namespace kwsim::test
