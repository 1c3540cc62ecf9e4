// When an application's write completes: the chip cannot say when a byte has left, so the
// engine credits written bytes at the character rate at 38,400 baud and below and from the
// USB transfers above. Through a loop-back plug with a recorder on the line, the write's
// completion is set against what the line had sent by then and against the host's log.
#include "simwire/recorder.h"
#include "systemtest.h"

namespace kwsim::test {
namespace {

using kwsim::wire::Recorder;

using CreditTest = SystemTest;

// Bytes whose stop bit has ended by `t`.
size_t SentBy(const std::vector<kwsim::wire::Character>& line, int64_t t)
{
    size_t n = 0;
    while (n < line.size() && line[n].end <= t) n++;
    return n;
}

TEST_F(CreditTest, AWriteCompletesAsTheLineSendsItAtLowRatesAndWithTheTransfersAbove)
{
    struct Case {
        ULONG rate;
        size_t bytes;
    };
    // Each write is far larger than what the chip buffers (256 bytes), so the transfer
    // finishes long before the line does at every rate.
    const Case cases[] = {{9600, 1000}, {38400, 4000}, {115200, 8000}, {921600, 60000}};
    int channel = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("at " + std::to_string(c.rate));
        auto recorder = Recorder::Attach(LoopBackPlug(channel));
        Port& port = OpenPort(channel, c.rate);
        const std::vector<uint8_t> data = Pattern(c.bytes, uint8_t(channel));
        std::vector<uint8_t> back(c.bytes);
        ASSERT_EQ(port.Timeouts(0, 0, ULONG(c.bytes * 20 * 1000 / c.rate + 1000)), STATUS_SUCCESS);
        AppRequest read = port.file.ReadAsync(back.data(), ULONG(back.size()));
        AppRequest write = port.file.WriteAsync(data.data(), ULONG(data.size()));
        AppResult w = write.Wait();
        ASSERT_EQ(w.status, STATUS_SUCCESS);
        EXPECT_EQ(w.information, c.bytes);
        const int64_t done = write.CompletedAt();
        ASSERT_EQ(read.Wait().status, STATUS_SUCCESS);
        EXPECT_TRUE(back == data);

        const std::vector<kwsim::wire::Character> line = recorder->Characters(0);
        ASSERT_EQ(line.size(), c.bytes);
        const std::vector<kwsim::usb::UrbRecord> out = Bulk(channel, false);
        ASSERT_FALSE(out.empty());
        const int64_t lastTransfer = out.back().completed;
        const double character = LineCharacter(channel);
        const size_t unsent = c.bytes - SentBy(line, done);
        // The engine's chunk: the characters of a millisecond (9 bits counted), plus one.
        const size_t chunk = (c.rate * 1000 / 9000) / 1000 + 1;
        if (c.rate <= 38400) {
            // The emulated FIFO drains one byte per character time of its own count
            // (10 x ceil(1e7 / rate) ticks) on a timer of that period started by the write;
            // the chunk credited at once is taken back from the last bytes drained, so the
            // write completes as the emulated FIFO empties: on the tick after N characters.
            // The line starts a frame or two later (the first transfer is served from the
            // next millisecond frame) and runs at the chip's exact rate, a little faster
            // than the count.
            const int64_t counted = 10 * ((c.rate + 9999999LL) / c.rate);
            const int64_t expected = write.IssuedAt() + int64_t(c.bytes) * counted;
            EXPECT_NEAR(double(done), double(expected), double(counted)) << "within one tick of the timer";
            // The line starts up to 2 ms after the count, but over a write this long the
            // count's slowness (0.03 % at 9,600, 0.2 % at 38,400) makes up for that: at
            // completion no more than the advance chunk is still to go on the line.
            EXPECT_LE(unsent, chunk) << "never ahead of the line by more than the chunk";
            EXPECT_GT(done - lastTransfer, int64_t(200 * character)) << "not with the transfer: the chip still had its FIFO";
        } else {
            // One chunk in advance, the rest as the transfers complete: the last one ends
            // when the chip has taken the last packet into its buffers.
            EXPECT_EQ(done, lastTransfer);
            // The chip takes the last packet as soon as it has room, which leaves its 256
            // bytes full; the host serves it within a frame and completes it at the frame's
            // end, so at most 2 ms of characters have drained by then.
            const size_t drained = size_t(2 * kMs / character) + 1;
            EXPECT_GE(unsent, 256 - drained) << "the chip still shifts out its FIFO";
            EXPECT_LE(unsent, 256u) << "but no more than it buffers";
        }
        ASSERT_EQ(port.Close(), STATUS_SUCCESS);
        channel++;
    }
}

}  // namespace
}  // namespace kwsim::test
