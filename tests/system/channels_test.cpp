// The adapter as a whole: four channels streaming at once stay apart and intact, and a
// chip pulled out while an application waits on it ends the waiting requests.
#include "systemtest.h"

namespace kwsim::test {
namespace {

using ChannelsTest = SystemTest;

TEST_F(ChannelsTest, FourChannelsStreamingAtOnceStayApartAndIntact)
{
    const ULONG rates[] = {9600, 38400, 115200, 921600};
    const size_t bytes[] = {500, 2000, 6000, 40000};
    std::vector<std::vector<uint8_t>> data, back;
    std::vector<AppRequest> reads, writes;
    for (int k = 0; k < 4; k++) {
        LoopBackPlug(k);
        Port& port = OpenPort(k, rates[k]);
        ASSERT_EQ(port.Timeouts(0, 0, 5000), STATUS_SUCCESS);
        data.push_back(Pattern(bytes[k], uint8_t(10 + k)));
        back.emplace_back(bytes[k]);
    }
    const int64_t t0 = Now();
    for (int k = 0; k < 4; k++) {
        reads.push_back(ports[k]->file.ReadAsync(back[k].data(), ULONG(bytes[k])));
        writes.push_back(ports[k]->file.WriteAsync(data[k].data(), ULONG(bytes[k])));
    }
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE("channel " + std::to_string(k));
        EXPECT_EQ(writes[k].Wait().status, STATUS_SUCCESS);
        AppResult r = reads[k].Wait();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, bytes[k]);
        EXPECT_TRUE(back[k] == data[k]) << "its own data, intact";
        // Each line runs at its own rate, as if alone: within 3 % and 100 ms of it.
        const int64_t line = int64_t(double(bytes[k]) * LineCharacter(k));
        EXPECT_GE(reads[k].CompletedAt() - t0, line);
        EXPECT_LE(reads[k].CompletedAt() - t0, line * 103 / 100 + 100 * kMs);
        EXPECT_EQ(adapter->Chip().Channel(k).GetCounters().overruns, 0u);
        EXPECT_EQ(ports[k]->CommStatus().Errors, 0u);
    }
}

// The removal notice that fails a gone port's requests comes with the port driver's Plug
// and Play side; until it does, the stack below must survive the chip going away under
// pending requests: they end when the application cancels them, requests that need the
// chip fail, and closing the handle leaves nothing behind.
TEST_F(ChannelsTest, PullingTheChipOutUnderPendingRequestsLeavesNothingBehind)
{
    // A write held by CTS (nothing on channel B's CTS) and a read waiting without timeout.
    Port& port = OpenPort(1, 115200);
    ASSERT_EQ(port.HandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
    ASSERT_EQ(port.Timeouts(0, 0, 0), STATUS_SUCCESS);
    const std::vector<uint8_t> data = Pattern(1000, 1);
    std::vector<uint8_t> back(100);
    AppRequest read = port.file.ReadAsync(back.data(), ULONG(back.size()));
    AppRequest write = port.file.WriteAsync(data.data(), ULONG(data.size()));
    Delay(50 * kMs);
    ASSERT_FALSE(read.Done());
    ASSERT_FALSE(write.Done());
    adapter->Plugged()->Unplug();
    Delay(1 * kSec);  // the engine's reads fail; nothing is reported as written
    EXPECT_FALSE(write.Done()) << "a held write is not counted as sent";
    port.file.Cancel(true);
    ASSERT_TRUE(read.Done());
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Result().information, 0u);
    EXPECT_EQ(write.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(port.HandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_UNSUCCESSFUL) << "the chip is gone";
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    adapter->Channel(1).Stop();
}

}  // namespace
}  // namespace kwsim::test
