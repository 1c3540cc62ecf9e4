// Virtual time: timers and time-outs fall due exactly, in order, in every clock mode.
#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "simtest.h"

namespace kwsim::test {
namespace {

struct Firing {
    int id;
    int64_t at;
};

// A set of timers whose DPCs record when they ran.
struct TimerBank {
    struct Slot {
        KTIMER timer;
        KDPC dpc;
        TimerBank* bank;
        int id;
    };
    std::vector<Slot> slots;
    std::vector<Firing> fired;  // written by the DPC thread, read after the machine rests

    explicit TimerBank(size_t n) : slots(n)
    {
        for (size_t i = 0; i < n; i++) {
            slots[i].bank = this;
            slots[i].id = (int)i;
            KeInitializeTimer(&slots[i].timer);
            KeInitializeDpc(&slots[i].dpc, Dpc, &slots[i]);
        }
    }
    static void Dpc(PKDPC, PVOID ctx, PVOID, PVOID)
    {
        Slot* s = static_cast<Slot*>(ctx);
        s->bank->fired.push_back({s->id, Now()});
    }
    BOOLEAN Set(int i, int64_t dueIn, LONG periodMs = 0)
    {
        return KeSetTimerEx(&slots[i].timer, Relative(dueIn), periodMs, &slots[i].dpc);
    }
    void CancelAll()
    {
        for (auto& s : slots) KeCancelTimer(&s.timer);
    }
};

class ClockTest : public SimTest {};

TEST_F(ClockTest, TimersFireAtTheirDueTimeInDueOrder)
{
    // (due in ms) for timers 0..n-1, set in this order; equal dues fire in set order.
    const std::vector<int64_t> dues = {30, 10, 20, 10, 5, 30, 1};
    TimerBank bank(dues.size());
    for (size_t i = 0; i < dues.size(); i++) EXPECT_FALSE(bank.Set((int)i, dues[i] * kMs));

    Advance(40 * kMs);

    std::vector<Firing> expected;
    for (size_t i = 0; i < dues.size(); i++) expected.push_back({(int)i, dues[i] * kMs});
    std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.at < b.at; });
    ASSERT_EQ(bank.fired.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(bank.fired[i].id, expected[i].id) << "position " << i;
        EXPECT_EQ(bank.fired[i].at, expected[i].at) << "timer " << expected[i].id;
    }
    EXPECT_EQ(Now(), 40 * kMs);
}

TEST_F(ClockTest, ManyTimersFireExactlyAndSorted)
{
    const int n = 2000;
    TimerBank bank(n);
    std::mt19937 rng(7);
    std::vector<int64_t> due(n);
    for (int i = 0; i < n; i++) {
        due[i] = 1 + (int64_t)(rng() % (5 * kSec));
        bank.Set(i, due[i]);
    }
    Advance(5 * kSec + 1);
    ASSERT_EQ((int)bank.fired.size(), n);
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(bank.fired[i].at, due[bank.fired[i].id]);
        if (i) {
            EXPECT_LE(bank.fired[i - 1].at, bank.fired[i].at);
        }
    }
}

TEST_F(ClockTest, PeriodicTimerKeepsItsPeriodUntilCancelled)
{
    TimerBank bank(2);
    bank.Set(0, 3 * kMs, 7);    // 3, 10, 17, 24, ...
    bank.Set(1, 10 * kMs, 10);  // 10, 20, 30, ...
    Advance(31 * kMs);
    std::vector<std::pair<int, int64_t>> got;
    for (auto& f : bank.fired) got.push_back({f.id, f.at / kMs});
    // Timers falling due together fire in the order they were (re)armed: at 10 ms timer 1
    // (set at 0) goes before timer 0 (re-armed at 3 ms).
    std::vector<std::pair<int, int64_t>> want = {{0, 3}, {1, 10}, {0, 10}, {0, 17}, {1, 20}, {0, 24}, {1, 30}, {0, 31}};
    EXPECT_EQ(got, want);
    EXPECT_TRUE(KeCancelTimer(&bank.slots[0].timer));
    EXPECT_TRUE(KeCancelTimer(&bank.slots[1].timer));
    size_t before = bank.fired.size();
    Advance(100 * kMs);
    EXPECT_EQ(bank.fired.size(), before);
}

TEST_F(ClockTest, SetAndCancelReportWhetherTheTimerWasQueued)
{
    TimerBank bank(1);
    KTIMER* t = &bank.slots[0].timer;
    EXPECT_FALSE(KeCancelTimer(t)) << "never set";
    EXPECT_FALSE(bank.Set(0, 10 * kMs)) << "first set";
    EXPECT_TRUE(bank.Set(0, 20 * kMs)) << "set again while pending";
    EXPECT_TRUE(KeCancelTimer(t)) << "cancel while pending";
    EXPECT_FALSE(KeCancelTimer(t)) << "cancel twice";
    EXPECT_FALSE(bank.Set(0, 5 * kMs));
    Advance(6 * kMs);
    EXPECT_FALSE(KeCancelTimer(t)) << "cancel after expiry";
    EXPECT_TRUE(KeReadStateTimer(t));
    EXPECT_FALSE(bank.Set(0, 5 * kMs));
    EXPECT_FALSE(KeReadStateTimer(t)) << "setting a timer clears its signal";
    KeCancelTimer(t);
    ASSERT_EQ(bank.fired.size(), 1u);
    EXPECT_EQ(bank.fired[0].at, 5 * kMs);
}

// Two timers expire together; the first DPC cancels the second timer, which is no
// longer queued (KeCancelTimer is FALSE), and the second DPC, already queued, still runs.
TEST_F(ClockTest, CancelAfterExpiryLeavesTheQueuedDpc)
{
    struct Ctx {
        KTIMER a, b;
        KDPC da, db;
        BOOLEAN cancelResult = 99;
        int bRuns = 0;
    } c;
    KeInitializeTimer(&c.a);
    KeInitializeTimer(&c.b);
    KeInitializeDpc(&c.da, [](PKDPC, PVOID p, PVOID, PVOID) {
        auto* c = static_cast<Ctx*>(p);
        c->cancelResult = KeCancelTimer(&c->b);
    }, &c);
    KeInitializeDpc(&c.db, [](PKDPC, PVOID p, PVOID, PVOID) { static_cast<Ctx*>(p)->bRuns++; }, &c);
    KeSetTimer(&c.a, Relative(kMs), &c.da);
    KeSetTimer(&c.b, Relative(kMs), &c.db);
    Advance(2 * kMs);
    EXPECT_EQ(c.cancelResult, FALSE);
    EXPECT_EQ(c.bRuns, 1);
}

TEST_F(ClockTest, WaitsTimeOutExactly)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    struct Case {
        const char* name;
        bool absolute;
        int64_t value;
        NTSTATUS status;
        int64_t elapsed;
    };
    const Case cases[] = {
        {"relative 25 ms", false, 25 * kMs, STATUS_TIMEOUT, 25 * kMs},
        {"relative 100 ns", false, 1, STATUS_TIMEOUT, 1},
        {"relative 3 s", false, 3 * kSec, STATUS_TIMEOUT, 3 * kSec},
        {"absolute +7 ms", true, 7 * kMs, STATUS_TIMEOUT, 7 * kMs},
        {"absolute in the past", true, -5 * kMs, STATUS_TIMEOUT, 0},
        {"zero (poll)", false, 0, STATUS_TIMEOUT, 0},
    };
    for (const Case& c : cases) {
        int64_t start = Now();
        LARGE_INTEGER t = c.absolute ? Absolute(start + c.value) : Relative(c.value);
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), c.status) << c.name;
        EXPECT_EQ(Now() - start, c.elapsed) << c.name;
    }
    KeSetEvent(&e, 0, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);

    int64_t start = Now();
    LARGE_INTEGER d = Relative(12 * kMs);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
    EXPECT_EQ(Now() - start, 12 * kMs);
}

TEST_F(ClockTest, SignalBeforeTimeOutWinsAtTheSignalTime)
{
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    ScheduleAt(Now() + 4 * kMs, [&] { KeSetEvent(&e, 0, FALSE); });
    LARGE_INTEGER t = Relative(10 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_WAIT_0);
    EXPECT_EQ(Now(), 4 * kMs);
    EXPECT_EQ(KeReadStateEvent(&e), 0) << "the wait consumed the synchronization event";
    // The abandoned time-out must not fire later.
    LARGE_INTEGER t2 = Relative(20 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t2), STATUS_TIMEOUT);
    EXPECT_EQ(Now(), 24 * kMs);
}

TEST_F(ClockTest, TimeServicesAgree)
{
    Advance(1234567);
    LARGE_INTEGER sys, freq, ticks;
    KeQuerySystemTime(&sys);
    EXPECT_EQ(sys.QuadPart, SystemTimeAtBoot() + 1234567);
    EXPECT_EQ(KeQueryInterruptTime(), 1234567u);
    LARGE_INTEGER pc = KeQueryPerformanceCounter(&freq);
    EXPECT_EQ(freq.QuadPart, 10'000'000);
    EXPECT_EQ(pc.QuadPart, 1234567);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, 1234567 / 156250);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(1, TRUE), 5000u) << "finest resolution is 0.5 ms";
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156250u);
}

class SteppedClockTest : public SimTest {
protected:
    BootOptions Options() override
    {
        BootOptions o;
        o.clock = ClockMode::Stepped;
        return o;
    }
};

TEST_F(SteppedClockTest, TimeMovesOnlyInsideAdvance)
{
    TimerBank bank(3);
    bank.Set(0, 5 * kMs);
    bank.Set(1, 15 * kMs);
    bank.Set(2, 10 * kMs);
    Settle();
    EXPECT_EQ(Now(), 0);
    EXPECT_TRUE(bank.fired.empty());
    Advance(10 * kMs);
    ASSERT_EQ(bank.fired.size(), 2u);
    EXPECT_EQ(bank.fired[1].id, 2) << "a timer due exactly at the end of the step fires";
    EXPECT_EQ(Now(), 10 * kMs);
    Settle();
    EXPECT_EQ(Now(), 10 * kMs);
    Advance(10 * kMs);
    ASSERT_EQ(bank.fired.size(), 3u);
    EXPECT_EQ(bank.fired[2].at, 15 * kMs);
    EXPECT_EQ(Now(), 20 * kMs);
}

TEST_F(SteppedClockTest, AnotherThreadsTimedWaitEndsOnlyWhenStepped)
{
    bool done = false;
    int64_t endedAt = -1;
    auto ref = StartThread("sleeper", [&] {
        LARGE_INTEGER d = Relative(30 * kMs);
        KeDelayExecutionThread(KernelMode, FALSE, &d);
        endedAt = Now();
        done = true;
    });
    Advance(29 * kMs);
    EXPECT_FALSE(done);
    Advance(1 * kMs);
    EXPECT_TRUE(done);
    EXPECT_EQ(endedAt, 30 * kMs);
    Join(ref);
}

class RealTimeClockTest : public SimTest {
protected:
    BootOptions Options() override
    {
        BootOptions o;
        o.clock = ClockMode::RealTime;
        return o;
    }
};

// The one test that takes wall-clock time: 40 ms of it.
TEST_F(RealTimeClockTest, FollowsTheWallClock)
{
    auto wall0 = std::chrono::steady_clock::now();
    int64_t v0 = Now();
    TimerBank bank(1);
    bank.Set(0, 40 * kMs);
    LARGE_INTEGER d = Relative(40 * kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    Settle();
    auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wall0).count();
    int64_t virtMs = (Now() - v0) / kMs;
    EXPECT_GE(wallMs, 40);
    EXPECT_LT(wallMs, 2000);
    EXPECT_GE(virtMs, 40);
    EXPECT_LE(virtMs, wallMs + 1);
    ASSERT_EQ(bank.fired.size(), 1u);
    EXPECT_GE(bank.fired[0].at - v0, 40 * kMs);
}

}  // namespace
}  // namespace kwsim::test
