// The verifier and the leak report: misuse that would crash Windows fails the test.
#include <gtest/gtest-spi.h>

#include "simtest.h"

namespace kwsim::test {
namespace {

class VerifierTest : public SimTest {};

TEST_F(VerifierTest, WaitAtDispatchLevelIsCaught)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
        << "polling is allowed at DISPATCH_LEVEL";
    ExpectReport(ReportKind::Verifier, "KeWaitForSingleObject waits at IRQL 2");
    LARGE_INTEGER t = Relative(kMs);
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
    KeLowerIrql(old);
    EXPECT_EQ(ExpectedReportsSeen(), 1);
}

TEST_F(VerifierTest, SpinLockMisuseIsCaught)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    struct Case {
        const char* expect;
        std::function<void()> misuse;
    };
    const Case cases[] = {
        {"released by thread 'test' while it is not held", [&] {
             KIRQL old = KeRaiseIrqlToDpcLevel();
             KeReleaseSpinLock(&lock, old);
         }},
        {"acquired again by thread 'test'", [&] {
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             KIRQL again;
             KeAcquireSpinLock(&lock, &again);
             KeReleaseSpinLock(&lock, old);
         }},
        {"below DISPATCH_LEVEL", [&] {
             KeAcquireSpinLockAtDpcLevel(&lock);
             KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
         }},
        {"but it is held by 'holder'", [&] {
             KEVENT held, done;
             KeInitializeEvent(&held, NotificationEvent, FALSE);
             KeInitializeEvent(&done, NotificationEvent, FALSE);
             auto t = StartThread("holder", [&] {
                 KIRQL old;
                 KeAcquireSpinLock(&lock, &old);
                 KeSetEvent(&held, 0, FALSE);
                 while (!KeReadStateEvent(&done)) __builtin_ia32_pause();
                 KeReleaseSpinLock(&lock, old);
             });
             KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
             KIRQL old = KeRaiseIrqlToDpcLevel();
             KeReleaseSpinLock(&lock, old);
             KeSetEvent(&done, 0, FALSE);
             Join(t);
         }},
        {"KeLowerIrql to 2 from the lower IRQL 0", [] { KeLowerIrql(DISPATCH_LEVEL); KeLowerIrql(PASSIVE_LEVEL); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        ExpectReport(ReportKind::Verifier, c.expect);
        c.misuse();
        EXPECT_EQ(ExpectedReportsSeen(), ++n) << c.expect;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << c.expect;
    }
}

TEST_F(VerifierTest, PagedPoolAtDispatchLevelIsCaught)
{
    KIRQL old = KeRaiseIrqlToDpcLevel();
    ExpectReport(ReportKind::Verifier, "paged pool allocated at IRQL 2");
    void* p = ExAllocatePoolWithTag(PagedPool, 16, KW_TAG("Test"));
    KeLowerIrql(old);
    ExFreePool(p);
}

TEST_F(VerifierTest, DebugBreakIsReported)
{
    ExpectReport(ReportKind::DebugBreak, "DbgBreakPoint");
    DbgBreakPoint();
    EXPECT_EQ(ExpectedReportsSeen(), 1);
}

// Leaks fail the test: run the shutdown inside the failure catcher.
VerifierTest* gCurrent;

TEST_F(VerifierTest, LeakedPoolBlockFailsTheTest)
{
    gCurrent = this;
    ExAllocatePoolWithTag(NonPagedPool, 48, KW_TAG("Leak"));
    EXPECT_NONFATAL_FAILURE(gCurrent->ShutdownAndCheck(), "48 bytes, tag 'Leak'");
}

TEST_F(VerifierTest, LeaksAreListedOneByOne)
{
    static KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(kSec), nullptr);
    HANDLE h;
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr,
                         [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); }, nullptr);
    void* block = ExAllocatePoolWithTag(PagedPool, 5, KW_TAG("Left"));
    (void)block;
    for (const char* f : {"is still set (due at 1000.0000 ms)", "is still running", "handle", "tag 'Left'"})
        ExpectReport(ReportKind::Leak, f);
    ShutdownAndCheck();
}

TEST_F(VerifierTest, FreeingPoolThatHoldsASetTimerIsCaught)
{
    auto* t = static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER) + 8, KW_TAG("Tmr ")));
    KeInitializeTimer(t);
    KeSetTimer(t, Relative(kMs), nullptr);
    ExpectReport(ReportKind::Verifier, "freed while it holds a timer that is set");
    ExFreePool(t);
    EXPECT_EQ(ExpectedReportsSeen(), 1);
    KeCancelTimer(t);  // the kernel kept the block alive, so this is still safe
}

using VerifierDeathTest = VerifierTest;

TEST_F(VerifierDeathTest, TwoThreadDeadlockIsReportedWithBothWaits)
{
    auto scenario = [] {
            static KMUTEX a, b;
            KeInitializeMutex(&a, 0);
            KeInitializeMutex(&b, 0);
            static KEVENT bTaken;
            KeInitializeEvent(&bTaken, NotificationEvent, FALSE);
            KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr);
            StartThread("second", [] {
                KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
                KeSetEvent(&bTaken, 0, FALSE);
                KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr);
            });
            KeWaitForSingleObject(&bTaken, Executive, KernelMode, FALSE, nullptr);
            KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
    };
    EXPECT_DEATH(scenario(),
        "deadlock: every sim thread is blocked and nothing is due(.|\n)*"
        "thread 'test' waiting at IRQL 0 in KeWaitForSingleObject on mutex@0x[0-9a-f]+ \\(owned by 'second'\\)(.|\n)*"
        "thread 'second' waiting at IRQL 0 in KeWaitForSingleObject on mutex@0x[0-9a-f]+ \\(owned by 'test'\\)");
}

TEST_F(VerifierDeathTest, SteppedClockThatNobodyAdvancesIsADeadlock)
{
    auto scenario = [] {
        SetClockMode(ClockMode::Stepped);
        LARGE_INTEGER d = Relative(5 * kMs);
        KeDelayExecutionThread(KernelMode, FALSE, &d);
    };
    EXPECT_DEATH(scenario(),
        "stepped clock is not advancing \\(next event at 5.0000 ms\\)(.|\n)*KeDelayExecutionThread \\(delay\\)");
}

}  // namespace
}  // namespace kwsim::test
