// Service threads: posted work runs in order at the thread's IRQL, holds the machine
// awake until it has run, and the thread ends cleanly when stopped or at shutdown.
#include <string>
#include <vector>

#include "simtest.h"

namespace kwsim::test {
namespace {

class ServiceTest : public SimTest {};

struct Ran {
    std::string what;
    KIRQL irql;
    int64_t at;
};

TEST_F(ServiceTest, RunsPostedWorkInOrderAtItsIrqlWithoutTimePassing)
{
    ServiceThread* service = StartServiceThread("service", DISPATCH_LEVEL);
    std::vector<Ran> ran;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    auto record = [&ran](const char* what) { ran.push_back({what, KeGetCurrentIrql(), Now()}); };
    // From a hardware callback at 5 ms, and from the test thread just before it rests.
    ScheduleAt(5 * kMs, [&] {
        PostToServiceThread(service, [&] { record("hw 1"); });
        PostToServiceThread(service, [&] {
            record("hw 2");
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        });
    });
    PostToServiceThread(service, [&] { record("test"); });
    LARGE_INTEGER ms = Relative(kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &ms);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_EQ(ran[0].what, "test");
    EXPECT_EQ(ran[0].at, 0) << "posted work holds the machine awake: time waits for it";
    EXPECT_EQ(ran[1].what, "hw 1");
    EXPECT_EQ(ran[2].what, "hw 2");
    for (auto& r : ran) EXPECT_EQ(r.irql, DISPATCH_LEVEL) << r.what;
    EXPECT_EQ(ran[1].at, 5 * kMs);
    EXPECT_EQ(ran[2].at, 5 * kMs);
    Settle();
    EXPECT_NE(DescribeThreads().find("thread 'service' idle"), std::string::npos) << DescribeThreads();
    // Left running: it is part of the sim, not a leak, and Shutdown ends it.
}

TEST_F(ServiceTest, StopRunsWhatIsQueuedThenRefusesWork)
{
    ServiceThread* service = StartServiceThread("service", PASSIVE_LEVEL);
    int runs = 0;
    for (int i = 0; i < 3; i++) PostToServiceThread(service, [&runs] { runs++; });
    StopServiceThread(service);
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(DescribeThreads().find("'service'"), std::string::npos) << "the thread has ended";
    ExpectReport(ReportKind::Verifier, "after it was stopped");
    PostToServiceThread(service, [&runs] { runs++; });
    StopServiceThread(service);  // a second stop does nothing
    EXPECT_EQ(runs, 3);
}

TEST_F(ServiceTest, WorkReturningAtAnotherIrqlIsCaught)
{
    ServiceThread* service = StartServiceThread("service", DISPATCH_LEVEL);
    ExpectReport(ReportKind::Verifier, "returned at IRQL 0");
    PostToServiceThread(service, [] { KeLowerIrql(PASSIVE_LEVEL); });
    Settle();
    EXPECT_EQ(ExpectedReportsSeen(), 1);
}

}  // namespace
}  // namespace kwsim::test
