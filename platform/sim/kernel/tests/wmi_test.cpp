// The simulated WMI service: WMILIB's dispositions and WNODE handling, the consumer's
// requests, callback registration of trace providers and the trace session.
#include <cstring>
#include <vector>

#include "simkernel/io.h"
#include "simkernel/wmi.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

const GUID kBlockA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kBlockB = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};
const GUID kOther = {0x99999999, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

// A provider with two blocks: A has 3 instances of 5 bytes, B one of 20.
WMIGUIDREGINFO g_guids[] = {{&kBlockA, 3, 0}, {&kBlockB, 1, WMIREG_FLAG_EXPENSIVE}};
UNICODE_STRING g_path;
PDEVICE_OBJECT g_pdo;
ULONG g_lastDisposition;
ULONG g_setSize;

NTSTATUS RegInfo(PDEVICE_OBJECT, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path, PUNICODE_STRING, PDEVICE_OBJECT* pdo)
{
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *path = &g_path;
    *pdo = g_pdo;
    return STATUS_SUCCESS;
}

NTSTATUS Query(PDEVICE_OBJECT device, PIRP irp, ULONG guid, ULONG instance, ULONG count, PULONG lengths, ULONG avail,
               PUCHAR buffer)
{
    ULONG size = guid == 0 ? 5 : 20;
    ULONG total = 0;
    for (ULONG i = 0; i < count; i++) {
        lengths[i] = size;
        total += i + 1 < count ? (size + 7) & ~7u : size;
    }
    if (total > avail) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, total, IO_NO_INCREMENT);
    for (ULONG i = 0, at = 0; i < count; i++, at += (size + 7) & ~7u) memset(buffer + at, 0x40 + instance + i, size);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, total, IO_NO_INCREMENT);
}

NTSTATUS Set(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG size, PUCHAR)
{
    g_setSize = size;
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

WMILIB_CONTEXT g_lib = {2, g_guids, RegInfo, Query, Set, nullptr, nullptr, nullptr};

NTSTATUS SystemControl(PDEVICE_OBJECT device, PIRP irp)
{
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&g_lib, device, irp, &disposition);
    g_lastDisposition = disposition;
    if (disposition == IrpProcessed) return status;
    if (disposition == IrpNotCompleted) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class WmiTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        RtlInitUnicodeString(&g_path, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest"));
        PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\WmiTest");
        driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        g_pdo = device;
        ASSERT_EQ(IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (WmiIsRegistered(device)) IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
        IoDeleteDevice(device);
        SimTest::TearDown();
    }
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(WmiTest, RegistrationInformationComesFromTheLibraryContext)
{
    EXPECT_EQ(IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER), STATUS_OBJECT_NAME_COLLISION);
    WmiRegInfo info = WmiQueryRegInfo(device);
    ASSERT_EQ(info.status, STATUS_SUCCESS);
    EXPECT_EQ(g_lastDisposition, (ULONG)IrpNotCompleted) << "registration info is left to the driver to complete";
    EXPECT_EQ(info.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\WmiTest");
    ASSERT_EQ(info.guids.size(), 2u);
    EXPECT_EQ(info.guids[0].instanceCount, 3u);
    EXPECT_EQ(info.guids[0].flags, (ULONG)WMIREG_FLAG_INSTANCE_PDO);
    EXPECT_EQ(info.guids[0].pdo, (ULONG_PTR)device);
    EXPECT_EQ(info.guids[1].flags, (ULONG)(WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_EXPENSIVE));
}

TEST_F(WmiTest, QueriesFillTheWnodeOrReportTheSizeNeeded)
{
    WmiResult all = WmiQueryAllData(device, kBlockA, 64, 3);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    ASSERT_EQ(all.instances.size(), 3u);
    EXPECT_EQ(all.instances[2], std::vector<uint8_t>(5, 0x42)) << "instances on 8-byte boundaries";
    // 5 + 3 padding + 5 + 3 + 5 = 21 bytes needed.
    WmiResult small = WmiQueryAllData(device, kBlockA, 20, 3);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.irpStatus, STATUS_SUCCESS) << "a WNODE_TOO_SMALL is a successful answer";
    EXPECT_EQ(small.information, sizeof(WNODE_TOO_SMALL));
    EXPECT_EQ(small.dataSizeNeeded, 21u);
    WmiResult single = WmiQuerySingleInstance(device, kBlockB, 0, 20);
    ASSERT_EQ(single.status, STATUS_SUCCESS);
    EXPECT_EQ(single.instances.at(0), std::vector<uint8_t>(20, 0x40));
    EXPECT_EQ(WmiQuerySingleInstance(device, kBlockB, 0, 19).dataSizeNeeded, 20u);
    EXPECT_EQ(WmiSetSingleInstance(device, kBlockB, 0, std::vector<uint8_t>(12)).status, STATUS_SUCCESS);
    EXPECT_EQ(g_setSize, 12u);
    EXPECT_EQ(WmiSetSingleItem(device, kBlockB, 0, 0, {1}).status, STATUS_WMI_READ_ONLY) << "no set-item routine";
    EXPECT_EQ(WmiExecuteMethod(device, kBlockB, 0, 0, {}, 8).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(WmiTest, DispositionsOfRequestsTheLibraryDoesNotServe)
{
    WmiResult unknown = WmiQueryAllData(device, kOther, 64);
    EXPECT_EQ(unknown.status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(g_lastDisposition, (ULONG)IrpNotCompleted);
    EXPECT_EQ(WmiSendControl(device, IRP_MN_ENABLE_EVENTS, kBlockA).status, STATUS_SUCCESS);
    EXPECT_EQ(g_lastDisposition, (ULONG)IrpNotCompleted) << "without a function-control routine";
    // A request for another provider, and one that is no WMI request.
    IrpResult forward = SendIrp(device, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, [](PIRP irp, PIO_STACK_LOCATION s) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        s->Parameters.WMI.ProviderId = 1;
    });
    EXPECT_EQ(g_lastDisposition, (ULONG)IrpForward);
    EXPECT_EQ(forward.status, STATUS_NOT_SUPPORTED);
    SendIrp(device, IRP_MJ_SYSTEM_CONTROL, 0x0a, [](PIRP irp, PIO_STACK_LOCATION) { irp->IoStatus.Status = STATUS_NOT_SUPPORTED; });
    EXPECT_EQ(g_lastDisposition, (ULONG)IrpNotWmi);
}

TEST_F(WmiTest, AProviderLeftRegisteredIsALeak)
{
    ExpectReport(ReportKind::Leak, "is still registered");
    PDRIVER_OBJECT other = CreateDriverObject(u"\\Driver\\WmiForgotten");
    PDEVICE_OBJECT forgotten;
    ASSERT_EQ(IoCreateDevice(other, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &forgotten), STATUS_SUCCESS);
    IoWMIRegistrationControl(forgotten, WMIREG_ACTION_REGISTER);
    ExpectReport(ReportKind::Leak, "was not deleted");
}

// A trace provider registered as a callback, the way drivers do from WDM 1.20 on.
struct TraceBlock {
    WMIENTRY callback;
    ULONG flags;
    UCHAR level;
    TRACEHANDLE logger;
};
const GUID kControl = {0x0C0C0C0C, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

NTSTATUS TraceCallback(UCHAR action, PVOID, ULONG size, PVOID buffer, PVOID context, PULONG returned)
{
    auto* block = static_cast<TraceBlock*>(context);
    if (action == IRP_MN_REGINFO) {
        ULONG needed = (ULONG)offsetof(WMIREGINFOW, WmiRegGuid) + sizeof(WMIREGGUIDW);
        if (size < needed) {
            *static_cast<PULONG>(buffer) = needed;
            *returned = sizeof(ULONG);
            return STATUS_BUFFER_TOO_SMALL;
        }
        memset(buffer, 0, needed);
        auto* info = static_cast<PWMIREGINFOW>(buffer);
        info->BufferSize = needed;
        info->GuidCount = 1;
        info->WmiRegGuid[0].Guid = kControl;
        info->WmiRegGuid[0].Flags = WMIREG_FLAG_TRACED_GUID | WMIREG_FLAG_TRACE_CONTROL_GUID;
        *returned = needed;
        return STATUS_SUCCESS;
    }
    auto* header = static_cast<PWNODE_HEADER>(buffer);
    if (action == IRP_MN_ENABLE_EVENTS) {
        block->logger = header->HistoricalContext;
        WmiQueryTraceInformation(TraceEnableFlagsClass, &block->flags, sizeof block->flags, nullptr, header);
        WmiQueryTraceInformation(TraceEnableLevelClass, &block->level, sizeof block->level, nullptr, header);
    } else if (action == IRP_MN_DISABLE_EVENTS) {
        block->logger = 0;
        block->flags = 0;
    }
    return STATUS_SUCCESS;
}

TEST_F(WmiTest, TraceSessionsEnableCallbackProvidersAndCollectTheirMessages)
{
    TraceBlock block{TraceCallback, 0, 0, 0};
    TraceEnable(kControl, 0x24, 5);
    ASSERT_EQ(IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&block), WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK),
              STATUS_SUCCESS);
    EXPECT_EQ(block.flags, 0x24u) << "enabled as it registers";
    EXPECT_EQ(block.level, 5);
    EXPECT_EQ(block.logger, TraceSessionHandle());

    const char text[] = "hello";
    ULONG number = 42;
    EXPECT_EQ(WmiTraceMessage(block.logger, TRACE_MESSAGE_GUID, &kControl, 17, text, sizeof text, &number, sizeof number,
                              nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(WmiTraceMessage(0, TRACE_MESSAGE_GUID, &kControl, 18, text, sizeof text, nullptr), STATUS_INVALID_HANDLE);
    auto messages = TraceMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].number, 17);
    EXPECT_EQ(messages[0].Text(), "hello");
    ASSERT_EQ(messages[0].arguments.size(), 2u);
    EXPECT_EQ(messages[0].arguments[1], (std::vector<uint8_t>{42, 0, 0, 0}));

    TraceDisable(kControl);
    EXPECT_EQ(block.logger, 0u);
    EXPECT_EQ(IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&block), WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK),
              STATUS_SUCCESS);
}

}  // namespace
}  // namespace kwsim::test
