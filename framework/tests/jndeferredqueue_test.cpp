// Worker threads, deferred-execution queues in both modes and timer lists, in exact
// virtual time.
#include <atomic>
#include <vector>

#include "jnosversion.h"
#include "jnpooledtest.h"
#include "jntimerlist.h"
#include "simkernel/io.h"

namespace kwsim::test {
namespace {

class DeferredTest : public PooledTest {
protected:
    PDEVICE_OBJECT Device()
    {
        PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\JnDeferredTest");
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        devices.push_back(device);
        return device;
    }
    void TearDown() override
    {
        for (PDEVICE_OBJECT d : devices) IoDeleteDevice(d);
        PooledTest::TearDown();
    }
    std::vector<PDEVICE_OBJECT> devices;
};

// Work items may run on several worker threads at once: the log has a lock.
struct Log {
    KSPIN_LOCK lock = 0;
    std::vector<int> calls;
    std::vector<KIRQL> levels;
    std::vector<int64_t> times;
    KEVENT* gate = nullptr;
};

void Record(PVOID log, PVOID value)
{
    Log* l = static_cast<Log*>(log);
    if (l->gate) KeWaitForSingleObject(l->gate, Executive, KernelMode, FALSE, nullptr);
    KIRQL level = KeGetCurrentIrql(), old;
    KeAcquireSpinLock(&l->lock, &old);
    l->calls.push_back((int)(intptr_t)value);
    l->levels.push_back(level);
    l->times.push_back(Now());
    KeReleaseSpinLock(&l->lock, old);
}

TEST_F(DeferredTest, WorkerThreadChecksItsArgumentsAndRunsPerWakeUp)
{
    CJnWorkerThread worker;
    KEVENT wake;
    KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
    ClearDebugOutput();
    size_t before = LivePoolBlocks().size();
    EXPECT_FALSE(worker.m_Create([](PVOID) {}, nullptr, &wake, 32, 0));
    EXPECT_FALSE(worker.m_Create([](PVOID) {}, nullptr, &wake, 0, 16));
    EXPECT_FALSE(worker.m_Create([](PVOID) {}, nullptr, nullptr, 0, 0));
    EXPECT_FALSE(worker.m_IsRunning());
    EXPECT_EQ(LivePoolBlocks().size(), before) << "no thread, no allocation";
    std::string out = DebugOutput();
    size_t asserts = 0;
    for (size_t at = 0; (at = out.find("ASSERT at - framework\\src\\jnworkerthread ", at)) != std::string::npos; at++) asserts++;
    EXPECT_EQ(asserts, 3u);

    // Run level 1: the routine runs at APC_LEVEL, once per wake-up and per timeout.
    static std::vector<KIRQL> levels;
    static std::vector<int64_t> times;
    levels.clear();
    times.clear();
    worker.m_SetTimeout(20 * kMs);
    ASSERT_TRUE(worker.m_Create(
        [](PVOID) {
            levels.push_back(KeGetCurrentIrql());
            times.push_back(Now());
        },
        nullptr, &wake, 0, 1));
    Advance(5 * kMs);
    KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
    Advance(30 * kMs);
    worker.m_Stop();
    EXPECT_FALSE(worker.m_IsRunning());
    EXPECT_EQ(times, (std::vector<int64_t>{5 * kMs, 25 * kMs}));
    EXPECT_EQ(levels, (std::vector<KIRQL>{APC_LEVEL, APC_LEVEL}));
}

TEST_F(DeferredTest, WorkItemModeRunsEveryCallAndStopWaitsForThem)
{
    CJnDeferredQueue queue;
    ASSERT_TRUE(queue.m_Init(Device()));
    EXPECT_TRUE(queue.m_UsesWorkItems());
    Log log;
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    log.gate = &gate;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (int i = 1; i <= 3; i++) EXPECT_TRUE(queue.m_Queue(Record, &log, (PVOID)(intptr_t)i));
    KeLowerIrql(old);
    bool stopped = false;
    ThreadRef stopper = StartThread("stopper", [&] {
        queue.m_Stop();
        stopped = true;
    });
    Settle();
    EXPECT_FALSE(stopped) << "stop waits for the queued calls";
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    Join(stopper);
    std::vector<int> calls = log.calls;
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
    for (KIRQL l : log.levels) EXPECT_EQ(l, PASSIVE_LEVEL);
    EXPECT_FALSE(queue.m_Queue(Record, &log, nullptr)) << "refused after stop";
}

TEST_F(DeferredTest, AWorkItemThatCannotBeAllocatedDropsTheCallAndStopStillReturns)
{
    CJnDeferredQueue queue;
    ASSERT_TRUE(queue.m_Init(Device()));
    Log log;
    PoolFailTag(KW_TAG("IoWk"), 1);
    EXPECT_FALSE(queue.m_Queue(Record, &log, (PVOID)1));
    EXPECT_TRUE(queue.m_Queue(Record, &log, (PVOID)2));
    queue.m_Stop();  // would wait for ever if the dropped call kept its reference
    EXPECT_EQ(log.calls, (std::vector<int>{2}));
}

TEST_F(DeferredTest, ThreadModeRunsInOrderAndStopDiscardsWhatIsLeft)
{
    CJnDeferredQueue queue;
    ASSERT_TRUE(queue.m_Init(nullptr));
    EXPECT_FALSE(queue.m_UsesWorkItems());
    Log log;
    for (int i = 1; i <= 4; i++) queue.m_Queue(Record, &log, (PVOID)(intptr_t)i);
    Settle();
    EXPECT_EQ(log.calls, (std::vector<int>{1, 2, 3, 4}));

    // The first call is held; the stop comes while two more wait behind it.
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    log.gate = &gate;
    log.calls.clear();
    for (int i = 5; i <= 7; i++) queue.m_Queue(Record, &log, (PVOID)(intptr_t)i);
    Settle();  // the thread is inside the first call
    ThreadRef stopper = StartThread("stopper", [&] { queue.m_Stop(); });
    Settle();
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    Join(stopper);
    EXPECT_EQ(log.calls, (std::vector<int>{5})) << "6 and 7 were discarded";
    EXPECT_EQ(queue.m_PendingCount(), 0u);
}

// Before WDM 1.10 there are no work items: a queue bound to a device runs its own thread.
using Wdm100DeferredTest = OnWindows<4, 10, DeferredTest>;

TEST_F(Wdm100DeferredTest, ADeviceQueueRunsItsOwnThread)
{
    CJnDeferredQueue queue;
    ASSERT_TRUE(queue.m_Init(Device()));
    EXPECT_FALSE(queue.m_UsesWorkItems());
    Log log;
    queue.m_Queue(Record, &log, (PVOID)9);
    Settle();
    EXPECT_EQ(log.calls, (std::vector<int>{9}));
    queue.m_Stop();
}

TEST_F(DeferredTest, OneShotAndPeriodicTimersFireAtTheirTimes)
{
    CJnTimerList list;
    ASSERT_TRUE(list.m_Initialize(false));
    static std::vector<std::pair<int, int64_t>> fired;
    static std::vector<KIRQL> levels;
    fired.clear();
    levels.clear();
    auto routine = [](PVOID context) {
        fired.push_back({(int)(intptr_t)context, Now()});
        levels.push_back(KeGetCurrentIrql());
    };
    SetClockMode(ClockMode::Stepped);
    JnTimer* once = list.m_Arm(routine, (PVOID)1, 5 * kMs);
    JnTimer* again = list.m_Arm(routine, (PVOID)2, 5 * kMs);
    JnTimer* periodic = list.m_ArmPeriodic(routine, (PVOID)3, 10 * kMs);
    ASSERT_NE(once, nullptr);
    EXPECT_NE(once, again) << "two arms, two timers";
    EXPECT_EQ(list.m_Count(), 3u);
    Advance(35 * kMs);
    EXPECT_EQ(fired, (std::vector<std::pair<int, int64_t>>{
                         {1, 5 * kMs}, {2, 5 * kMs}, {3, 10 * kMs}, {3, 20 * kMs}, {3, 30 * kMs}}));
    for (KIRQL l : levels) EXPECT_EQ(l, DISPATCH_LEVEL);
    EXPECT_EQ(list.m_Count(), 1u) << "one-shot timers are gone after firing";
    EXPECT_TRUE(list.m_Cancel(periodic));
    EXPECT_TRUE(list.m_Cancel(once)) << "a timer that already went is fine";
    Advance(30 * kMs);
    EXPECT_EQ(fired.size(), 5u);
    list.m_Destroy();
}

TEST_F(DeferredTest, ATimerThatCancelsItselfIsFreedOnce)
{
    CJnTimerList list;
    ASSERT_TRUE(list.m_Initialize(false));
    struct Self {
        CJnTimerList* list;
        JnTimer* timer;
        int runs;
    };
    static Self self;
    self = {&list, nullptr, 0};
    auto cancelSelf = [](PVOID) {
        self.runs++;
        self.list->m_Cancel(self.timer);
    };
    self.timer = list.m_ArmPeriodic(cancelSelf, nullptr, 5 * kMs);
    JnTimer* oneShot = list.m_Arm(cancelSelf, nullptr, 50 * kMs);
    Advance(20 * kMs);
    EXPECT_EQ(self.runs, 1) << "the periodic timer cancelled itself in its first expiry";
    self.timer = oneShot;
    Advance(40 * kMs);
    EXPECT_EQ(self.runs, 2);
    EXPECT_EQ(list.m_Count(), 0u);
    list.m_Destroy();
    // The fixture checks the pool record is empty; a double free is a verifier report.
}

TEST_F(DeferredTest, PassiveTimersRunThroughTheListsQueue)
{
    CJnTimerList list;
    ASSERT_TRUE(list.m_Initialize(true));
    static std::vector<KIRQL> levels;
    levels.clear();
    list.m_Arm([](PVOID) { levels.push_back(KeGetCurrentIrql()); }, nullptr, 1 * kMs);
    JnTimer* pending = list.m_Arm([](PVOID) { levels.push_back(0xEE); }, nullptr, 100 * kMs);
    ASSERT_NE(pending, nullptr);
    Advance(10 * kMs);
    EXPECT_EQ(levels, (std::vector<KIRQL>{PASSIVE_LEVEL}));
    list.m_Destroy();  // cancels the pending one and ends the queue's thread
    Advance(200 * kMs);
    EXPECT_EQ(levels.size(), 1u);
    EXPECT_EQ(list.m_Arm([](PVOID) {}, nullptr, kMs), nullptr) << "a destroyed list arms nothing";
}

}  // namespace
}  // namespace kwsim::test
