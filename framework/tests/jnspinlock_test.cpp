// The checked spin lock, the remove lock and the node pool behind the framework lists.
#include <string>

#include "jnnodepool.h"
#include "jnpooledtest.h"
#include "jnremovelock.h"
#include "jnspinlock.h"

namespace kwsim::test {
namespace {

using SpinLockTest = PooledTest;

TEST_F(SpinLockTest, AcquireRaisesAndReleaseRestores)
{
    CJnSpinLock lock;
    EXPECT_EQ(lock.m_SavedIrql(), CJnSpinLock::kFree);
    for (KIRQL start : {(KIRQL)PASSIVE_LEVEL, (KIRQL)APC_LEVEL}) {
        KIRQL old;
        KeRaiseIrql(start, &old);
        lock.m_Acquire();
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(lock.m_SavedIrql(), start);
        lock.m_Release();
        EXPECT_EQ(lock.m_SavedIrql(), CJnSpinLock::kFree);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        KeLowerIrql(old);
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    lock.m_AcquireAtDpcLevel();
    EXPECT_EQ(lock.m_SavedIrql(), DISPATCH_LEVEL);
    lock.m_Release();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
}

TEST_F(SpinLockTest, MisuseBreaksIntoTheDebugger)
{
    CJnSpinLock lock;
    ExpectReport(ReportKind::DebugBreak, "");
    lock.m_Release();  // never acquired
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the kernel lock is left alone";
    EXPECT_EQ(ExpectedReportsSeen(), 1);

    // Released behind the class's back: the next acquire finds the level still saved.
    lock.m_Acquire();
    KeReleaseSpinLock(reinterpret_cast<PKSPIN_LOCK>(&lock), PASSIVE_LEVEL);
    ExpectReport(ReportKind::DebugBreak, "");
    lock.m_Acquire();
    EXPECT_EQ(ExpectedReportsSeen(), 2);
    lock.m_Release();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // At DPC level from PASSIVE_LEVEL: the class reports it before the kernel does.
    ExpectReport(ReportKind::DebugBreak, "");
    ExpectReport(ReportKind::Verifier, "KeAcquireSpinLockAtDpcLevel at IRQL 0");
    lock.m_AcquireAtDpcLevel();
    EXPECT_EQ(ExpectedReportsSeen(), 4);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    lock.m_Release();
    KeLowerIrql(old);
}

TEST_F(SpinLockTest, RemoveLockCountsLimitsAndDrains)
{
    CJnRemoveLock lock;
    EXPECT_FALSE(lock.m_Acquire()) << "disabled until initialised enabled";
    lock.m_Initialize(TRUE);
    EXPECT_TRUE(lock.m_Acquire());
    EXPECT_TRUE(lock.m_Acquire());
    EXPECT_EQ(lock.m_Count(), 2);
    lock.m_Release();
    lock.m_Release();

    CJnRemoveLock exclusive(1);
    exclusive.m_Initialize(TRUE);
    EXPECT_TRUE(exclusive.m_Acquire());
    EXPECT_FALSE(exclusive.m_Acquire()) << "limit 1: one holder";
    exclusive.m_Release();
    EXPECT_TRUE(exclusive.m_Acquire());
    exclusive.m_Release();

    // Disable-and-wait waits for the holder, and refuses newcomers meanwhile.
    EXPECT_TRUE(lock.m_Acquire());
    bool drained = false;
    ThreadRef waiter = StartThread("waiter", [&] {
        lock.m_DisableAndWait();
        drained = true;
    });
    Advance(10 * kMs);
    EXPECT_FALSE(drained);
    EXPECT_FALSE(lock.m_Acquire());
    lock.m_Release();
    Join(waiter);
    EXPECT_TRUE(drained);

    // At DISPATCH_LEVEL it only looks.
    lock.m_Initialize(TRUE);
    EXPECT_TRUE(lock.m_Acquire());
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    lock.m_DisableAndWait();
    KeLowerIrql(old);
    EXPECT_EQ(lock.m_Count(), 1);
    lock.m_Release();
}

TEST_F(SpinLockTest, NodePoolRefusesForeignAndFreeNodes)
{
    CJnNodePool<3> pool;
    CJnNodeList list(pool);
    int a, b, c, d;
    EXPECT_TRUE(list.m_Add(&a));
    EXPECT_TRUE(list.m_Add(&b));
    EXPECT_TRUE(list.m_Add(&c));
    EXPECT_FALSE(list.m_Add(&d)) << "the pool has three nodes";
    EXPECT_EQ(list.m_Count(), 3u);
    EXPECT_TRUE(list.m_Remove(&b));
    EXPECT_FALSE(list.m_Remove(&b));
    EXPECT_TRUE(list.m_Add(&d)) << "a released node is used again";
    std::vector<void*> walk;
    for (void* p = list.m_First(); p; p = list.m_Next()) walk.push_back(p);
    EXPECT_EQ(walk, (std::vector<void*>{&a, &c, &d}));

    ClearDebugOutput();
    CJnNodePool<3> other;
    JnListNode* free = other.m_Allocate();
    ASSERT_NE(free, nullptr);
    EXPECT_TRUE(other.m_Release(free));
    // Below the array, above it, and a node that is free already.
    JnListNode* base = free;  // the first node of `other`
    EXPECT_FALSE(other.m_Release(base - 1));
    EXPECT_FALSE(other.m_Release(base + 3));
    EXPECT_FALSE(other.m_Release(base));
    EXPECT_EQ(DebugOutput(), "ASSERT at - framework\\include\\jnnodepool 116\n"
                             "ASSERT at - framework\\include\\jnnodepool 117\n"
                             "ASSERT at - framework\\include\\jnnodepool 122\n");
    list.m_RemoveAll();
    EXPECT_EQ(pool.m_InUse(), 0u);
}

}  // namespace
}  // namespace kwsim::test
