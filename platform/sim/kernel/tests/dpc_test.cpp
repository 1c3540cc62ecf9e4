// DPCs and spin locks: levels, queueing rules and the checks around them.
#include <atomic>

#include "simkernel/syncpoint.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

class DpcTest : public SimTest {};

struct DpcProbe {
    KDPC dpc;
    int runs = 0;
    KIRQL irql = 99;
    ULONG processor = 99;
    PVOID arg1 = nullptr;
    int64_t at = -1;
    static void Routine(PKDPC, PVOID ctx, PVOID a1, PVOID)
    {
        auto* p = static_cast<DpcProbe*>(ctx);
        p->runs++;
        p->irql = KeGetCurrentIrql();
        p->processor = KeGetCurrentProcessorNumber();
        p->arg1 = a1;
        p->at = Now();
    }
    DpcProbe() { KeInitializeDpc(&dpc, Routine, this); }
};

// Keeps the (single) DPC processor busy in a first DPC until Open(), so that what the
// test queues meanwhile stays queued.
struct DpcGate {
    KDPC holder;
    std::atomic<int> stage{0};
    DpcGate()
    {
        KeInitializeDpc(&holder, [](PKDPC, PVOID ctx, PVOID, PVOID) {
            auto* g = static_cast<DpcGate*>(ctx);
            g->stage = 1;
            while (g->stage != 2) __builtin_ia32_pause();
        }, this);
        KeInsertQueueDpc(&holder, nullptr, nullptr);
        while (stage != 1) __builtin_ia32_pause();
    }
    void Open() { stage = 2; }
};

TEST_F(DpcTest, RunsAtDispatchLevelOnTheDpcThread)
{
    DpcProbe p;
    int marker = 0;
    DpcGate gate;
    EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, &marker, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr)) << "a queued DPC is not queued twice";
    gate.Open();
    KeFlushQueuedDpcs();
    EXPECT_EQ(p.runs, 1);
    EXPECT_EQ(p.irql, DISPATCH_LEVEL);
    EXPECT_EQ(p.arg1, &marker);
    EXPECT_EQ(p.at, 0) << "a DPC takes no virtual time";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DpcTest, RemoveTakesAQueuedDpcBackOut)
{
    DpcProbe p;
    DpcGate gate;
    EXPECT_TRUE(KeInsertQueueDpc(&p.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&p.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&p.dpc));
    gate.Open();
    KeFlushQueuedDpcs();
    EXPECT_EQ(p.runs, 0);
}

TEST_F(DpcTest, SpinLocksRaiseAndRestoreIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&lock));

    KIRQL raised = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(raised);
}

TEST_F(DpcTest, SpinLockExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    std::vector<ThreadRef> threads;
    for (int i = 0; i < 4; i++)
        threads.push_back(StartThread("adder", [&] {
            for (int n = 0; n < 20000; n++) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                long v = counter;
                counter = v + 1;
                KeReleaseSpinLock(&lock, old);
            }
        }));
    for (auto& t : threads) Join(t);
    EXPECT_EQ(counter, 80000);
}

// A waiter that finds the lock taken looks at its owner now and then. An owner that has
// released the lock and gone idle in the meantime (here: the DPC processor) is no blocked
// owner, and the waiter must simply take the lock.
TEST_F(DpcTest, AWaiterDoesNotTakeAnOwnerThatLeftForABlockedOne)
{
    static KSPIN_LOCK lock;
    static std::atomic<int> stage;
    KeInitializeSpinLock(&lock);
    stage = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {
        KeAcquireSpinLockAtDpcLevel(&lock);
        stage = 1;
        while (stage != 2) __builtin_ia32_pause();
        KeReleaseSpinLockFromDpcLevel(&lock);
    }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    while (stage != 1) __builtin_ia32_pause();

    SyncPoint check(sync::kSpinLockOwnerCheck);
    bool taken = false;
    ThreadRef waiter = StartThread("waiter", [&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        taken = true;
        KeReleaseSpinLock(&lock, old);
    });
    check.WaitUntilReached();
    // The owner the waiter saw lets go and its processor goes idle before the waiter looks.
    stage = 2;
    KeFlushQueuedDpcs();
    check.Release();
    Join(waiter);
    EXPECT_TRUE(taken);
}

TEST_F(DpcTest, TimerDpcGetsTheExpirySystemTime)
{
    DpcProbe p;
    KTIMER t;
    KeInitializeTimer(&t);
    KeSetTimer(&t, Relative(2 * kMs), &p.dpc);
    Advance(3 * kMs);
    EXPECT_EQ(p.runs, 1);
    EXPECT_EQ(p.at, 2 * kMs);
    LARGE_INTEGER expected;
    expected.QuadPart = SystemTimeAtBoot() + 2 * kMs;
    EXPECT_EQ((ULONG)(ULONG_PTR)p.arg1, expected.LowPart);
}

TEST_F(DpcTest, DpcLeavingIrqlChangedIsCaught)
{
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    ExpectReport(ReportKind::Verifier, "returned at IRQL 0");
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(ExpectedReportsSeen(), 1);
}

TEST_F(DpcTest, DpcReturningWithASpinLockHeldIsCaught)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
    ExpectReport(ReportKind::Verifier, "holding a spin lock");
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(ExpectedReportsSeen(), 1);
}

class TwoProcessorTest : public SimTest {
protected:
    BootOptions Options() override
    {
        BootOptions o;
        o.processors = 2;
        return o;
    }
};

TEST_F(TwoProcessorTest, TargetedDpcRunsOnItsProcessor)
{
    DpcProbe p0, p1;
    KeSetTargetProcessorDpc(&p1.dpc, 1);
    KeInsertQueueDpc(&p0.dpc, nullptr, nullptr);
    KeInsertQueueDpc(&p1.dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(p0.processor, 0u);
    EXPECT_EQ(p1.processor, 1u);
    EXPECT_EQ(KeNumberProcessors, 2);
}

}  // namespace
}  // namespace kwsim::test
