// The port driver's port object joined to the channel engine over the simulated chip:
// what an application writes comes back through a loop-back plug, intact and complete,
// at every rate; written credit follows the line.
#include "systemtest.h"

namespace kwsim::test {
namespace {

using LoopBackTest = SystemTest;

TEST_F(LoopBackTest, DataComesBackIntactAtEveryRate)
{
    struct Case {
        ULONG rate;
        size_t bytes;
    };
    const Case cases[] = {{300, 60}, {9600, 2000}, {38400, 8000}, {115200, 32768}, {921600, 262144}};
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("at " + std::to_string(c.rate));
        const int channel = round++ % 4;  // the fifth rate opens channel A again
        if (round <= 4) LoopBackPlug(channel);
        Port& port = OpenPort(channel, c.rate);
        const double line = adapter->Chip().Channel(channel).GetState().rate;
        const int64_t lineTime = int64_t(double(c.bytes) * 10 * kSec / line);
        ASSERT_EQ(port.Timeouts(0, 0, ULONG(2 * lineTime / kMs + 1000)), STATUS_SUCCESS);
        std::vector<uint8_t> data = Pattern(c.bytes, uint8_t(round));
        std::vector<uint8_t> back(c.bytes);
        const int64_t t0 = Now();
        AppRequest read = port.file.ReadAsync(back.data(), ULONG(back.size()));
        AppResult written = port.file.Write(data.data(), ULONG(data.size()));
        EXPECT_EQ(written.status, STATUS_SUCCESS);
        EXPECT_EQ(written.information, c.bytes);
        AppResult r = read.Wait();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ASSERT_EQ(r.information, c.bytes);
        EXPECT_TRUE(back == data) << "intact and in order";
        EXPECT_GE(Now() - t0, lineTime) << "no faster than the line";
        EXPECT_LE(Now() - t0, lineTime * 103 / 100 + 100 * kMs) << "and hardly slower";
        SERIAL_STATUS s = port.CommStatus();
        EXPECT_EQ(s.Errors, 0u);
        EXPECT_EQ(s.AmountInInQueue, 0u);
        EXPECT_EQ(s.AmountInOutQueue, 0u);
        ASSERT_EQ(port.Close(), STATUS_SUCCESS);
        adapter->Channel(channel).Stop();
    }
}

}  // namespace
}  // namespace kwsim::test
