// The IRP helpers against a lower driver that completes later, from another thread.
#include <vector>

#include "jnirp.h"
#include "jnpooledtest.h"
#include "simkernel/io.h"

namespace kwsim::test {
namespace {

struct Lower {
    PDEVICE_OBJECT device;
    NTSTATUS status;
    ULONG_PTR information;
    PFILE_OBJECT seenFileObject;
    int64_t delay;
} g_lower;
PDEVICE_OBJECT g_upperLower;
std::vector<ThreadRef> g_completions;

// Completes every request `delay` later from a thread of its own.
NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    g_lower.seenFileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    IoMarkIrpPending(irp);
    g_completions.push_back(StartThread("lower completion", [irp] {
        LARGE_INTEGER wait = Relative(g_lower.delay);
        KeDelayExecutionThread(KernelMode, FALSE, &wait);
        irp->IoStatus.Status = g_lower.status;
        irp->IoStatus.Information = g_lower.information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }));
    return STATUS_PENDING;
}

// Forwards and waits, then finishes the request itself.
NTSTATUS UpperDispatch(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = JnForwardIrpSynchronously(irp, g_upperLower);
    return JnCompleteIrp(irp, status, irp->IoStatus.Information + 100);
}

class IrpHelperTest : public PooledTest {
protected:
    void SetUp() override
    {
        PooledTest::SetUp();
        PDRIVER_OBJECT lowerDriver = CreateDriverObject(u"\\Driver\\JnLower");
        PDRIVER_OBJECT upperDriver = CreateDriverObject(u"\\Driver\\JnUpper");
        for (auto& f : lowerDriver->MajorFunction) f = LowerDispatch;
        for (auto& f : upperDriver->MajorFunction) f = UpperDispatch;
        ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(upperDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
        g_upperLower = IoAttachDeviceToDeviceStack(upper, lower);
        g_lower = {lower, STATUS_SUCCESS, 0, nullptr, 3 * kMs};
    }
    void TearDown() override
    {
        for (ThreadRef& t : g_completions) Join(t);
        g_completions.clear();
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
        PooledTest::TearDown();
    }
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
};

TEST_F(IrpHelperTest, ForwardSynchronouslyGetsTheIrpBackAfterTheLowerDriver)
{
    for (NTSTATUS lowerStatus : {STATUS_SUCCESS, STATUS_DEVICE_BUSY, STATUS_NOT_SUPPORTED}) {
        g_lower.status = lowerStatus;
        g_lower.information = 7;
        int64_t start = Now();
        IrpResult r = SendIrp(upper, IRP_MJ_READ, 0);
        EXPECT_EQ(r.status, lowerStatus);
        EXPECT_EQ(r.information, 107u) << "completed by the upper driver after the lower one";
        EXPECT_EQ(Now() - start, 3 * kMs);
    }
}

TEST_F(IrpHelperTest, SendIoctlSynchronouslyReturnsTheLength)
{
    FILE_OBJECT file{};
    ULONG in = 1, out[4] = {};
    ULONG length = sizeof out;
    g_lower.information = 5;
    EXPECT_TRUE(JnSendIoctlSynchronously(lower, 0x222004, &in, sizeof in, out, &length, FALSE, &file));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(g_lower.seenFileObject, &file);
    g_lower.status = STATUS_INVALID_PARAMETER;
    length = sizeof out;
    EXPECT_FALSE(JnSendIoctlSynchronously(lower, 0x222004, &in, sizeof in, out, &length, TRUE));
    EXPECT_EQ(length, sizeof out) << "unchanged on failure";
    EXPECT_EQ(g_lower.seenFileObject, nullptr);
}

}  // namespace
}  // namespace kwsim::test
