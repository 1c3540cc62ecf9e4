// Pool accounting and fault injection.
#include <cstring>

#include "simtest.h"

namespace kwsim::test {
namespace {

class PoolTest : public SimTest {};

TEST_F(PoolTest, BlocksAreRecordedWithTagAndFreed)
{
    void* a = ExAllocatePoolWithTag(NonPagedPool, 10, KW_TAG("AaAa"));
    void* b = ExAllocatePoolWithTag(PagedPool, 20, KW_TAG("BbBb"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(static_cast<unsigned char*>(a)[9], 0xA5) << "pool contents are not zero";
    auto live = LivePoolBlocks();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(TagName(live[0].tag), "AaAa");
    EXPECT_EQ(live[0].size, 10u);
    EXPECT_EQ(live[1].type, PagedPool);
    ExFreePoolWithTag(a, KW_TAG("AaAa"));
    ExFreePool(b);
    EXPECT_TRUE(LivePoolBlocks().empty());
}

TEST_F(PoolTest, FaultInjectionFailsExactlyTheNthAllocation)
{
    PoolFailNth(3);
    std::vector<void*> got;
    for (int i = 0; i < 5; i++) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, KW_TAG("Nth ")));
    for (int i = 0; i < 5; i++) EXPECT_EQ(got[i] == nullptr, i == 2) << "allocation " << i + 1;
    for (void* p : got)
        if (p) ExFreePool(p);
    EXPECT_EQ(PoolAllocationCount(), 5u);
}

TEST_F(PoolTest, FaultInjectionByTag)
{
    PoolFailTag(KW_TAG("Bad "), 2);
    void* bad1 = ExAllocatePoolWithTag(NonPagedPool, 8, KW_TAG("Bad "));
    void* good = ExAllocatePoolWithTag(NonPagedPool, 8, KW_TAG("Good"));
    void* bad2 = ExAllocatePoolWithTag(NonPagedPool, 8, KW_TAG("Bad "));
    void* bad3 = ExAllocatePoolWithTag(NonPagedPool, 8, KW_TAG("Bad "));
    EXPECT_EQ(bad1, nullptr);
    EXPECT_NE(good, nullptr);
    EXPECT_EQ(bad2, nullptr);
    EXPECT_NE(bad3, nullptr) << "the count of failures is used up";
    ExFreePool(good);
    ExFreePool(bad3);
    PoolFailTag(KW_TAG("All "));
    for (int i = 0; i < 3; i++) EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, KW_TAG("All ")), nullptr);
    PoolClearFaults();
    void* ok = ExAllocatePoolWithTag(NonPagedPool, 1, KW_TAG("All "));
    EXPECT_NE(ok, nullptr);
    ExFreePool(ok);
}

TEST_F(PoolTest, BadFreesAreCaught)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, KW_TAG("Once"));
    ExpectReport(ReportKind::Verifier, "freed with tag 'Twic' but allocated with 'Once'");
    ExFreePoolWithTag(p, KW_TAG("Twic"));
    ExpectReport(ReportKind::Verifier, "not a pool block, or freed already");
    ExFreePool(p);
    int local;
    ExpectReport(ReportKind::Verifier, "not a pool block");
    ExFreePool(&local);
    EXPECT_EQ(ExpectedReportsSeen(), 3);
}

}  // namespace
}  // namespace kwsim::test
