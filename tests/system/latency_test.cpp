// The latency policy as an application sees it: after every baud change through the port
// the chip's latency timer and the size of the reads the host is asked for are what the
// device's policy gives for the new rate; a disabled FIFO (receive trigger level 1) means
// one packet per read and 16 ms whatever the policy says.
#include "ftdilatency.h"
#include "systemtest.h"

namespace kwsim::test {
namespace {

struct PolicySet {
    ULONG type, maximum, fineTuning, lowCpuFineTuning;
};

std::string Name(const ::testing::TestParamInfo<PolicySet>& info)
{
    const PolicySet& p = info.param;
    return p.type == FTDI_POLICY_LOW_CPU_USAGE
               ? "LowCpu" + std::to_string(p.lowCpuFineTuning)
               : "Specific" + std::to_string(p.maximum) + "FineTuning" + std::to_string(p.fineTuning);
}

class LatencyTest : public SystemTest, public ::testing::WithParamInterface<PolicySet> {
protected:
    const KW_BUS_CHANNEL_PARAMETERS* BusParameters() override
    {
        const PolicySet& p = GetParam();
        bus = {p.type,
               p.maximum,
               p.fineTuning,
               p.lowCpuFineTuning,
               KW_DEFAULT_RX_FIFO_SIZE,
               KW_DEFAULT_TX_FIFO_SIZE,
               KW_DEFAULT_MAXIMUM_BAUD_RATE,
               0};
        return &bus;
    }
    // The rate changes through the port; then the read the chip held with the old timer
    // ends and the next one is asked for: the last bulk-in request shows the new size.
    void ChangeRate(Port& port, ULONG rate, ULONG oldLatency, ULONG newLatency)
    {
        ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate}), STATUS_SUCCESS);
        usb->ClearLog();
        Delay(int64_t(oldLatency + newLatency + 6) * kMs);
    }
    ULONG LastReadSize()
    {
        std::vector<kwsim::usb::UrbRecord> reads = Bulk(0, true);
        EXPECT_FALSE(reads.empty());
        return reads.empty() ? 0 : reads.back().requested;
    }

    KW_BUS_CHANNEL_PARAMETERS bus{};
};

TEST_P(LatencyTest, LatencyTimerAndReadSizeFollowThePolicyAfterEveryBaudChange)
{
    const PolicySet& p = GetParam();
    Port& port = OpenPort(0, 9600);
    const kwsim::chip::ChipChannel& chip = adapter->Chip().Channel(0);
    ULONG latency = chip.GetState().latencyTimer;
    for (ULONG rate : {1200u, 9600u, 38400u, 115200u, 921600u, 19200u}) {
        SCOPED_TRACE("at " + std::to_string(rate));
        const FTDI_LATENCY_SETTING expected = p.type == FTDI_POLICY_LOW_CPU_USAGE
                                                  ? FtdiLowCpuUsagePolicy(rate, p.lowCpuFineTuning)
                                                  : FtdiSpecificLatencyPolicy(p.maximum, rate, p.fineTuning);
        ChangeRate(port, rate, latency, expected.ulLatency);
        latency = chip.GetState().latencyTimer;
        EXPECT_EQ(latency, expected.ulLatency) << "the chip's timer";
        EXPECT_EQ(LastReadSize(), expected.ulRxTransferSize) << "the reads the host is asked for";
    }

    // FIFO off: the receive trigger level is 1, the latency 16 ms at once, and one packet
    // per read from the next baud change on, whatever the policy.
    ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_FIFO_CONTROL, ULONG(0)), STATUS_SUCCESS);
    EXPECT_EQ(chip.GetState().latencyTimer, 16);
    ChangeRate(port, 115200, latency, 16);
    EXPECT_EQ(chip.GetState().latencyTimer, 16);
    EXPECT_EQ(LastReadSize(), 64u);
    for (const kwsim::usb::UrbRecord& r : Bulk(0, true)) EXPECT_EQ(r.requested, 64u);
    // FIFO on again: the policy decides from the next baud change.
    ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_FIFO_CONTROL, ULONG(SERIAL_FIFO_ENABLE)), STATUS_SUCCESS);
    const FTDI_LATENCY_SETTING expected = p.type == FTDI_POLICY_LOW_CPU_USAGE
                                              ? FtdiLowCpuUsagePolicy(9600, p.lowCpuFineTuning)
                                              : FtdiSpecificLatencyPolicy(p.maximum, 9600, p.fineTuning);
    ChangeRate(port, 9600, 16, expected.ulLatency);
    EXPECT_EQ(chip.GetState().latencyTimer, expected.ulLatency);
    EXPECT_EQ(LastReadSize(), expected.ulRxTransferSize);
}

INSTANTIATE_TEST_SUITE_P(PolicySets, LatencyTest,
                         ::testing::Values(PolicySet{FTDI_POLICY_LOW_CPU_USAGE, 1040, 0, 192},
                                           PolicySet{FTDI_POLICY_LOW_CPU_USAGE, 1040, 0, 255},
                                           PolicySet{FTDI_POLICY_SPECIFIC_LATENCY, 1040, 0, 192},
                                           PolicySet{FTDI_POLICY_SPECIFIC_LATENCY, 1040, 255, 192},
                                           PolicySet{FTDI_POLICY_SPECIFIC_LATENCY, 100, 0, 192}),
                         Name);

}  // namespace
}  // namespace kwsim::test
