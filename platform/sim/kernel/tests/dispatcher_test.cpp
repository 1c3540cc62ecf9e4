// Dispatcher objects: events, mutexes, semaphores, multi-object waits, system threads.
#include <atomic>
#include <vector>

#include "simtest.h"

namespace kwsim::test {
namespace {

class DispatcherTest : public SimTest {};

// n threads wait on one object; returns how many were released after `signal` ran.
int Released(int n, PVOID object, const std::function<void()>& signal)
{
    std::atomic<int> released{0};
    std::vector<ThreadRef> threads;
    for (int i = 0; i < n; i++)
        threads.push_back(StartThread("waiter", [&, object] {
            LARGE_INTEGER t = Relative(kSec);
            if (KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t) == STATUS_WAIT_0) released++;
        }));
    Settle();
    signal();
    Settle();
    int r = released;
    for (auto& t : threads) Join(t);  // the rest time out after a second
    return r;
}

TEST_F(DispatcherTest, EventsReleaseAllOrOneWaiter)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);

    EXPECT_EQ(Released(4, &notification, [&] { EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0); }), 4);
    EXPECT_EQ(KeReadStateEvent(&notification), 1) << "a notification event stays signalled";
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);

    EXPECT_EQ(Released(4, &synchronization, [&] { KeSetEvent(&synchronization, 0, FALSE); }), 1);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0) << "the released waiter took the signal";
    KeSetEvent(&synchronization, 0, FALSE);
    EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 1) << "KeSetEvent returns the previous state";
    KeClearEvent(&synchronization);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

TEST_F(DispatcherTest, MutexIsRecursiveForItsOwner)
{
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    EXPECT_EQ(KeReadStateMutex(&m), 1);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateMutex(&m), -1);

    int64_t acquiredAt = -1;
    auto other = StartThread("other", [&] {
        KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
        acquiredAt = Now();
        KeReleaseMutex(&m, FALSE);
    });
    Advance(5 * kMs);
    EXPECT_EQ(KeReleaseMutex(&m, FALSE), -1);
    Advance(5 * kMs);
    EXPECT_EQ(acquiredAt, -1) << "one release of two leaves the mutex owned";
    EXPECT_EQ(KeReleaseMutex(&m, FALSE), 0);
    Join(other);
    EXPECT_EQ(acquiredAt, 10 * kMs);
    EXPECT_EQ(KeReadStateMutex(&m), 1);
}

TEST_F(DispatcherTest, MutexReleasedByANonOwnerIsCaught)
{
    KMUTEX m;
    KEVENT done;
    KeInitializeMutex(&m, 0);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    auto owner = StartThread("owner", [&] {
        KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&m, FALSE);
    });
    Settle();
    ExpectReport(ReportKind::Verifier, "by thread 'test', which does not own it");
    KeReleaseMutex(&m, FALSE);
    EXPECT_EQ(ExpectedReportsSeen(), 1);
    EXPECT_EQ(KeReadStateMutex(&m), 0) << "the mutex stays with its owner";
    KeSetEvent(&done, 0, FALSE);
    Join(owner);
    EXPECT_EQ(KeReadStateMutex(&m), 1);
}

TEST_F(DispatcherTest, MutexOfAThreadThatEndedIsAbandoned)
{
    KMUTEX m;
    KeInitializeMutex(&m, 0);
    ExpectReport(ReportKind::Verifier, "thread 'owner' ended owning a mutex");
    auto owner = StartThread("owner", [&] { KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr); });
    Join(owner);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_ABANDONED_WAIT_0);
    EXPECT_EQ(KeReleaseMutex(&m, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0) << "abandoned once";
    KeReleaseMutex(&m, FALSE);
}

TEST_F(DispatcherTest, SemaphoreCountsAndLimit)
{
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 2, 3);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&s), 3);
    ExpectReport(ReportKind::Verifier, "exceeds the limit");
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 1, FALSE), 3);
    EXPECT_EQ(KeReadStateSemaphore(&s), 3) << "a release past the limit changes nothing";
    EXPECT_EQ(Released(5, &s, [] {}), 3) << "three counts release three waiters";
}

TEST_F(DispatcherTest, WaitAnyAndWaitAll)
{
    KEVENT a, b, c;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    KeInitializeEvent(&c, NotificationEvent, FALSE);
    PVOID objects[3] = {&a, &b, &c};
    KWAIT_BLOCK blocks[3];

    ScheduleAt(3 * kMs, [&] { KeSetEvent(&b, 0, FALSE); });
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks), STATUS_WAIT_1);
    EXPECT_EQ(Now(), 3 * kMs);

    // WaitAll takes nothing until everything is signalled, then everything at once.
    ScheduleAt(5 * kMs, [&] { KeSetEvent(&a, 0, FALSE); });
    ScheduleAt(6 * kMs, [&] { KeSetEvent(&c, 0, FALSE); });
    ScheduleAt(9 * kMs, [&] {
        EXPECT_EQ(KeReadStateEvent(&a), 1) << "a is not consumed while b is missing";
        KeSetEvent(&b, 0, FALSE);
    });
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks), STATUS_WAIT_0);
    EXPECT_EQ(Now(), 9 * kMs);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    EXPECT_EQ(KeReadStateEvent(&c), 1);

    LARGE_INTEGER t = Relative(kMs);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &t, blocks), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &t, blocks), STATUS_WAIT_2);
}

TEST_F(DispatcherTest, SystemThreadLifecycle)
{
    struct Ctx {
        KEVENT go;
        int ran = 0;
        KIRQL irql = 99;
    } ctx;
    KeInitializeEvent(&ctx.go, NotificationEvent, FALSE);
    HANDLE h;
    CLIENT_ID id;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, &id,
                                   [](PVOID p) {
                                       auto* c = static_cast<Ctx*>(p);
                                       c->irql = KeGetCurrentIrql();
                                       KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
                                       c->ran++;
                                       PsTerminateSystemThread(STATUS_SUCCESS);
                                   },
                                   &ctx),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    PVOID wrong;
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *ExEventObjectType, KernelMode, &wrong, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    Settle();
    EXPECT_NE(DescribeThreads().find("waiting at IRQL 0 in KeWaitForSingleObject on notification event"), std::string::npos)
        << DescribeThreads();
    LARGE_INTEGER t = Relative(kMs);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    KeSetEvent(&ctx.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    ObDereferenceObject(thread);
    EXPECT_EQ(ctx.ran, 1);
    EXPECT_EQ(ctx.irql, PASSIVE_LEVEL);
    ExpectReport(ReportKind::Verifier, "invalid handle");
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
}

TEST_F(DispatcherTest, PrioritiesAreKeptPerThread)
{
    PKTHREAD self = KeGetCurrentThread();
    KPRIORITY old = KeSetPriorityThread(self, 31);
    EXPECT_EQ(KeQueryPriorityThread(self), 31);
    EXPECT_EQ(KeSetPriorityThread(self, old), 31);
    KPRIORITY other = -1;
    auto t = StartThread("other", [&] { other = KeQueryPriorityThread(KeGetCurrentThread()); });
    Join(t);
    EXPECT_EQ(other, 8) << "a raise does not leak into other threads";
}

}  // namespace
}  // namespace kwsim::test
