// The latency and read-size policies, against the worked table and at their edges.
#include <gtest/gtest.h>

#include "ftdilatency.h"

namespace {

struct Expect {
    ULONG latency;
    ULONG size;
};

void Check(FTDI_LATENCY_SETTING s, Expect e, const std::string& what)
{
    EXPECT_EQ(s.ulLatency, e.latency) << what;
    EXPECT_EQ(s.ulRxTransferSize, e.size) << what;
}

TEST(LatencyPolicy, FollowsTheWorkedTable)
{
    struct Row {
        ULONG rate;
        Expect lowCpu192, lowCpu255, specific1040T0, specific1040T255, specific100T0;
    };
    const Row rows[] = {
        {1200, {255, 1024}, {255, 64}, {208, 256}, {208, 256}, {100, 4096}},
        {9600, {255, 1024}, {129, 64}, {61, 1024}, {208, 256}, {50, 64}},
        {38400, {255, 1024}, {32, 64}, {16, 3904}, {208, 256}, {16, 320}},
        {115200, {91, 1024}, {10, 64}, {16, 4096}, {208, 256}, {5, 1024}},
        {921600, {11, 1024}, {1, 64}, {16, 4096}, {208, 256}, {1, 4096}},
    };
    for (const Row& r : rows) {
        std::string at = " at " + std::to_string(r.rate);
        Check(FtdiLowCpuUsagePolicy(r.rate, 192), r.lowCpu192, "low CPU, T = 192" + at);
        Check(FtdiLowCpuUsagePolicy(r.rate, 255), r.lowCpu255, "low CPU, T = 255" + at);
        Check(FtdiSpecificLatencyPolicy(1040, r.rate, 0), r.specific1040T0, "specific, M = 1040, T = 0" + at);
        Check(FtdiSpecificLatencyPolicy(1040, r.rate, 255), r.specific1040T255, "specific, M = 1040, T = 255" + at);
        Check(FtdiSpecificLatencyPolicy(100, r.rate, 0), r.specific100T0, "specific, M = 100, T = 0" + at);
    }
}

TEST(LatencyPolicy, LowCpuUsageEdges)
{
    for (ULONG rate : {300u, 9600u, 921600u, 3000000u})
        Check(FtdiLowCpuUsagePolicy(rate, 0), {255, 4096}, "T = 0 at " + std::to_string(rate));
    for (ULONG t = 250; t <= 255; t++) EXPECT_EQ(FtdiLowCpuUsagePolicy(115200, t).ulRxTransferSize, 64u) << t;
    EXPECT_EQ(FtdiLowCpuUsagePolicy(115200, 249).ulRxTransferSize, 128u);
    EXPECT_EQ(FtdiLowCpuUsagePolicy(3000000, 255).ulLatency, 1u) << "never below 1 ms";
}

TEST(LatencyPolicy, SpecificLatencyEdges)
{
    // One packet takes longer than the user waits: the maximum itself, at most 255.
    Check(FtdiSpecificLatencyPolicy(100, 6199, 0), {100, 4096}, "M = 100 just too slow");
    Check(FtdiSpecificLatencyPolicy(1040, 300, 0), {255, 4096}, "M = 1040 at 300");
    // A maximum so long that even 64 packets per read leave the timer above 255 ms.
    Check(FtdiSpecificLatencyPolicy(20000, 115200, 0), {255, 4096}, "M = 20000");
}

TEST(LatencyPolicy, OutOfRangeInputsStayUsable)
{
    // A maximum latency of 0 would divide by zero: it counts as the default 1040.
    for (ULONG rate : {1200u, 9600u, 115200u})
        for (ULONG t : {0u, 255u}) {
            FTDI_LATENCY_SETTING zero = FtdiSpecificLatencyPolicy(0, rate, t);
            FTDI_LATENCY_SETTING standard = FtdiSpecificLatencyPolicy(1040, rate, t);
            EXPECT_EQ(zero.ulLatency, standard.ulLatency) << rate;
            EXPECT_EQ(zero.ulRxTransferSize, standard.ulRxTransferSize) << rate;
        }
    // Fine tuning past the scale would wrap into reads of about a gigabyte: it counts as
    // the top of the scale, and reads stay within 64..4096.
    for (ULONG t : {257u, 258u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(FtdiLowCpuUsagePolicy(9600, t).ulRxTransferSize, 64u) << t;
        FTDI_LATENCY_SETTING s = FtdiSpecificLatencyPolicy(1040, 38400, t);
        FTDI_LATENCY_SETTING top = FtdiSpecificLatencyPolicy(1040, 38400, 256);
        EXPECT_EQ(s.ulRxTransferSize, top.ulRxTransferSize) << t;
        EXPECT_EQ(s.ulLatency, top.ulLatency) << t;
        EXPECT_GE(s.ulRxTransferSize, 64u);
        EXPECT_LE(s.ulRxTransferSize, 4096u);
    }
    EXPECT_EQ(FtdiUsableFineTuning(256), 256u);
    EXPECT_EQ(FtdiUsableMaximumLatency(7), 7u);
}

}  // namespace
