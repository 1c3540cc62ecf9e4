// The framework inside a driver module (KwJnTest): DriverEntry, AddDevice, the routing
// of every major function, removal, redirection, WMI, tracing, unload, and every
// allocation of DriverEntry and AddDevice failing in turn.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "jnosversion.h"
#include "kwjntest.h"
#include "simkernel/io.h"
#include "simkernel/registry.h"
#include "simkernel/wmi.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

const char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KwJnTest";
const char16_t kEventSource[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\KwJnTest";
const GUID kBlock = KWJNTEST_WMI_GUID;
// Trace provider 1 carries channels 1 and 2... and 3 (flag 1), 4 (flag 2) belong to provider 2.
const GUID kDriverEntryExitProvider = {0xF602E867, 0x71C3, 0x4AE3, {0xAA, 0x27, 0x51, 0xAB, 0x38, 0xC8, 0xD9, 0xF4}};

bool KeyExists(const std::u16string& path)
{
    RegKey key;
    return NT_SUCCESS(GetRegistry().Open(nullptr, path, &key));
}

std::optional<RegValue> Value(const std::u16string& path, const std::u16string& name)
{
    RegKey key;
    RegValue v;
    if (!NT_SUCCESS(GetRegistry().Open(nullptr, path, &key)) || !NT_SUCCESS(GetRegistry().QueryValue(key, name, &v)))
        return std::nullopt;
    return v;
}

ULONG Dword(const RegValue& v)
{
    ULONG d = 0;
    memcpy(&d, v.data.data(), std::min<size_t>(4, v.data.size()));
    return d;
}

// The number printed after `prefix` in the debug output (last occurrence), or -1.
long Printed(const std::string& prefix)
{
    std::string out = DebugOutput();
    size_t at = out.rfind(prefix);
    return at == std::string::npos ? -1 : strtol(out.c_str() + at + prefix.size(), nullptr, 10);
}

size_t FrameworkBlocks()
{
    size_t n = 0;
    for (auto& b : LivePoolBlocks()) n += TagName(b.tag).rfind("Jn", 0) == 0;
    return n;
}

class DriverTest : public SimTest {
protected:
    void Load()
    {
        driver = LoadDriver("KwJnTest");
        ASSERT_EQ(driver.entryStatus, STATUS_SUCCESS);
    }
    void Unload()
    {
        ASSERT_TRUE(UnloadDriver(driver));
    }
    // A PDO whose start answers with `startInformation`.
    PDEVICE_OBJECT Pdo(ULONG_PTR startInformation = 0)
    {
        return CreatePdo(u"", [startInformation](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_START_DEVICE) {
                irp->IoStatus.Information = startInformation;
                return STATUS_SUCCESS;
            }
            return std::nullopt;
        });
    }
    PDEVICE_OBJECT Add(PDEVICE_OBJECT pdo)
    {
        EXPECT_EQ(CallAddDevice(driver.driverObject, pdo), STATUS_SUCCESS);
        return pdo->AttachedDevice;
    }
    void Remove(PDEVICE_OBJECT pdo)
    {
        EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
        EXPECT_EQ(pdo->AttachedDevice, nullptr) << "the functional device is gone after its removal";
        DeletePdo(pdo);
    }
    KwJnTestWho Who(PDEVICE_OBJECT device)
    {
        KwJnTestWho who{};
        EXPECT_EQ(SendIoctl(device, IOCTL_KWJNTEST_WHO, nullptr, 0, &who, sizeof who).status, STATUS_SUCCESS);
        return who;
    }
    ULONG PoolRecord(PDEVICE_OBJECT device)
    {
        ULONG n = 0;
        EXPECT_EQ(SendIoctl(device, IOCTL_KWJNTEST_POOL, nullptr, 0, &n, sizeof n).status, STATUS_SUCCESS);
        return n;
    }
    LoadedDriver driver;
};

TEST_F(DriverTest, LoadAddRouteRemoveAndUnloadLeaveNothingBehind)
{
    Load();
    long loaded = Printed("KwJnTest: loaded with ");
    EXPECT_GT(loaded, 0);
    PDRIVER_OBJECT d = driver.driverObject;
    EXPECT_NE(d->DriverStartIo, nullptr) << "the CJnDriver is kept in DriverStartIo";
    EXPECT_NE(d->DriverExtension->AddDevice, nullptr);

    // The event source exists while the driver is loaded; LogLevel got its default.
    auto file = Value(kEventSource, u"EventMessageFile");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->type, (ULONG)REG_EXPAND_SZ);
    std::u16string text(reinterpret_cast<const char16_t*>(file->data.data()), file->data.size() / 2);
    EXPECT_EQ(text, std::u16string(u"%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\KwJnTest.sys") +
                        u'\0');
    EXPECT_EQ(Dword(*Value(kEventSource, u"TypesSupported")), 7u);
    EXPECT_EQ(Dword(*Value(kServiceKey, u"LogLevel")), 1u);

    PDEVICE_OBJECT pdo = Pdo(7);
    PDEVICE_OBJECT fdo = Add(pdo);
    ASSERT_NE(fdo, nullptr);
    ULONG index = Who(fdo).index;
    ULONG withDevice = PoolRecord(fdo);

    // Every routed major function reaches its own method of the device.
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN}) {
        IrpResult r = SendIrp(fdo, major, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << (int)major;
        EXPECT_EQ(r.information, KWJNTEST_ANSWER(major, index)) << (int)major;
    }
    EXPECT_EQ(Who(fdo).handler, fdo) << "device control";
    EXPECT_EQ(Who(fdo).handlerRoutingCount, 1) << "the routing lock is held during the call";
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER).status, STATUS_SUCCESS) << "power goes down the stack";
    // Query and set information always fail, started or not.
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_QUERY_INFORMATION, 0).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_SET_INFORMATION, 0).status, STATUS_UNSUCCESSFUL);
    // A null device object is refused without touching anything.
    EXPECT_EQ(d->MajorFunction[IRP_MJ_READ](nullptr, nullptr), STATUS_UNSUCCESSFUL);

    // Start is forwarded synchronously: the PDO completes it, the completion routine
    // stops the walk, and the device completes it once more with its own mark.
    IrpResult start = SendPnp(pdo, IRP_MN_START_DEVICE);
    EXPECT_EQ(start.status, STATUS_SUCCESS);
    EXPECT_EQ(start.information, 7u + KWJNTEST_START_MARK);
    EXPECT_EQ(PoolRecord(fdo), withDevice) << "requests leave no allocation behind";

    EXPECT_TRUE(WmiIsRegistered(fdo));
    Remove(pdo);
    EXPECT_FALSE(WmiIsRegistered(fdo)) << "the device's WMI provider is deregistered";

    Unload();
    EXPECT_EQ(Printed("KwJnTest: unload with "), loaded) << "what the devices allocated was all freed";
    EXPECT_EQ(FrameworkBlocks(), 0u) << "the pool's last release freed the rest";
    EXPECT_FALSE(KeyExists(kEventSource)) << "the event source goes with the driver";
    EXPECT_TRUE(WmiProviders().empty()) << "the trace providers are deregistered";
}

TEST_F(DriverTest, LogLevelIsValidatedAndWrittenBack)
{
    struct Case {
        std::optional<ULONG> stored;
        ULONG after;
    } cases[] = {{std::nullopt, 1}, {7, 1}, {4, 1}, {0, 0}, {2, 2}, {3, 3}};
    for (const Case& c : cases) {
        RegKey key;
        ASSERT_EQ(GetRegistry().CreatePath(kServiceKey, &key), STATUS_SUCCESS);
        GetRegistry().DeleteValue(key, u"LogLevel");
        if (c.stored) GetRegistry().SetValue(key, u"LogLevel", REG_DWORD, &*c.stored, 4);
        Load();
        EXPECT_EQ(Dword(*Value(kServiceKey, u"LogLevel")), c.after) << (c.stored ? (int)*c.stored : -1);
        Unload();
    }
}

TEST_F(DriverTest, RemovalDrainsTheRoutingLockAndRefusesNewRequests)
{
    Load();
    PDEVICE_OBJECT pdo = Pdo();
    PDEVICE_OBJECT fdo = Add(pdo);
    KEVENT entered, release;
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    KwJnTestBlock block{&entered, &release};
    NTSTATUS blocked = STATUS_PENDING, removed = STATUS_PENDING;
    ThreadRef inside = StartThread("inside", [&] {
        blocked = SendIoctl(fdo, IOCTL_KWJNTEST_BLOCK, &block, sizeof block, nullptr, 0).status;
    });
    KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr);
    ThreadRef remover = StartThread("remover", [&] { removed = SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status; });
    Settle();
    // The removal waits for the request inside the device; new ones are turned away.
    EXPECT_EQ(removed, STATUS_PENDING);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_CREATE, IRP_MJ_PNP}) {
        EXPECT_EQ(SendIrp(fdo, major, IRP_MN_QUERY_CAPABILITIES).status, STATUS_DELETE_PENDING) << (int)major;
    }
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    Join(inside);
    Join(remover);
    EXPECT_EQ(blocked, STATUS_SUCCESS);
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    DeletePdo(pdo);
    Unload();
}

TEST_F(DriverTest, AFailedRemovalDeletesNothing)
{
    Load();
    PDEVICE_OBJECT pdo = CreatePdo(u"", [](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MajorFunction == IRP_MJ_PNP && s->MinorFunction == IRP_MN_REMOVE_DEVICE) return STATUS_UNSUCCESSFUL;
        return std::nullopt;
    });
    PDEVICE_OBJECT fdo = Add(pdo);
    EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(SendIrp(fdo, IRP_MJ_READ, 0).status, STATUS_SUCCESS) << "the device still serves requests";
    // It is deleted with the driver's unload instead (devices left: the CJnDriver goes).
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    DeletePdo(pdo);
    Unload();
}

TEST_F(DriverTest, AnUnloadWithDevicesLeftDeletesTheDriverObjectAndCallsBack)
{
    Load();
    PDEVICE_OBJECT pdo = Pdo();
    PDEVICE_OBJECT fdo = Add(pdo);
    ClearDebugOutput();
    PDRIVER_OBJECT driverObject = driver.driverObject;
    ObReferenceObject(driverObject);  // the device left behind still names it
    Unload();
    EXPECT_NE(DebugOutput().find("KwJnTest: unload callback"), std::string::npos);
    EXPECT_EQ(FrameworkBlocks(), 0u) << "the callback's release freed everything";
    EXPECT_FALSE(KeyExists(kEventSource));
    // What a removal would have done before.
    IoWMIRegistrationControl(fdo, WMIREG_ACTION_DEREGISTER);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    DeletePdo(pdo);
    ObDereferenceObject(driverObject);
}

TEST_F(DriverTest, RedirectedRequestsAreHandledByTheOtherDeviceAlone)
{
    Load();
    PDEVICE_OBJECT pdoA = Pdo(1), pdoB = Pdo(2);
    PDEVICE_OBJECT a = Add(pdoA), b = Add(pdoB);
    ULONG indexB = Who(b).index;
    ASSERT_EQ(SendIoctl(a, IOCTL_KWJNTEST_REDIRECT, &b, sizeof b, nullptr, 0).status, STATUS_SUCCESS);

    KwJnTestWho who = Who(a);
    EXPECT_EQ(who.handler, b);
    EXPECT_EQ(who.handlerRoutingCount, 1);
    EXPECT_EQ(who.originRoutingCount, 0) << "only the other device's routing lock is held";
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLOSE}) {
        EXPECT_EQ(SendIrp(a, major, 0).information, KWJNTEST_ANSWER(major, indexB)) << (int)major;
    }
    // Plug and Play is never redirected: the start reaches A's own PDO.
    EXPECT_EQ(SendPnp(pdoA, IRP_MN_START_DEVICE).information, 1u + KWJNTEST_START_MARK);

    EXPECT_EQ(Who(b).handler, b) << "B itself is not redirected";
    // A goes first: its redirect pointer names B.
    Remove(pdoA);
    Remove(pdoB);
    Unload();
}

TEST_F(DriverTest, WmiRegistrationAndDataBlocks)
{
    Load();
    PDEVICE_OBJECT pdo = Pdo();
    PDEVICE_OBJECT fdo = Add(pdo);
    WmiRegInfo info = WmiQueryRegInfo(fdo);
    ASSERT_EQ(info.status, STATUS_SUCCESS);
    EXPECT_EQ(info.registryPath, kServiceKey);
    ASSERT_EQ(info.guids.size(), 9u) << "the block and the eight trace providers";
    EXPECT_EQ(GuidText(info.guids[0].guid), GuidText(kBlock));
    EXPECT_EQ(info.guids[0].flags, (ULONG)WMIREG_FLAG_INSTANCE_PDO);
    EXPECT_EQ(info.guids[0].pdo, (ULONG_PTR)pdo);
    EXPECT_EQ(info.guids[0].instanceCount, 1u);
    EXPECT_EQ(GuidText(info.guids[3].guid), GuidText(kDriverEntryExitProvider));
    for (size_t i = 1; i < 9; i++) {
        // No flags of their own; the registration's PDO naming applies to every GUID.
        EXPECT_EQ(info.guids[i].flags, (ULONG)WMIREG_FLAG_INSTANCE_PDO) << i;
        EXPECT_EQ(info.guids[i].instanceCount, 1u) << i;
    }
    EXPECT_EQ(WmiQueryRegInfo(fdo, true).status, STATUS_SUCCESS) << "registration info (ex) from WDM 1.20 on";

    // 63 bytes for a 64-byte block: too small, and WMI learns it needs 64.
    WmiResult small = WmiQueryAllData(fdo, kBlock, 63);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.dataSizeNeeded, 64u);
    WmiResult all = WmiQueryAllData(fdo, kBlock, 64);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    ASSERT_EQ(all.instances.size(), 1u);
    ASSERT_EQ(all.instances[0].size(), 64u);
    EXPECT_EQ(all.instances[0][63], 63);

    std::vector<uint8_t> data(64, 0xAB);
    EXPECT_EQ(WmiSetSingleInstance(fdo, kBlock, 0, data).status, STATUS_SUCCESS);
    EXPECT_EQ(WmiQuerySingleInstance(fdo, kBlock, 0, 64).instances.at(0), data);
    // An item comes in a buffer of the block's fixed size.
    std::vector<uint8_t> item(64, 0);
    item[0] = 0x11;
    EXPECT_EQ(WmiSetSingleItem(fdo, kBlock, 0, 1, item).status, STATUS_SUCCESS);
    EXPECT_EQ(WmiQuerySingleInstance(fdo, kBlock, 0, 64).instances.at(0)[1], 0x11);
    std::vector<uint8_t> in(64);
    for (int i = 0; i < 64; i++) in[i] = (uint8_t)i;
    WmiResult method = WmiExecuteMethod(fdo, kBlock, 0, 0, in, 64);
    ASSERT_EQ(method.status, STATUS_SUCCESS);
    EXPECT_EQ(method.instances.at(0)[0], 63) << "method 0 reverses the block";

    const GUID traceGuid = info.guids[1].guid;
    struct Refusal {
        const char* what;
        NTSTATUS status;
    } refusals[] = {
        {"second instance of a one-instance block", WmiQuerySingleInstance(fdo, kBlock, 1, 64).status},
        {"a trace provider is no data block", WmiQueryAllData(fdo, traceGuid, 64).status},
        {"a set shorter than the fixed size", WmiSetSingleInstance(fdo, kBlock, 0, std::vector<uint8_t>(10)).status},
        {"an item past the item count", WmiSetSingleItem(fdo, kBlock, 0, 2, item).status},
        {"an item shorter than the fixed size", WmiSetSingleItem(fdo, kBlock, 0, 1, {1}).status},
        {"a method past the method count", WmiExecuteMethod(fdo, kBlock, 0, 1, in, 64).status},
        {"method output room too small", WmiExecuteMethod(fdo, kBlock, 0, 0, {}, 63).status},
    };
    NTSTATUS expected[] = {STATUS_WMI_INSTANCE_NOT_FOUND, STATUS_WMI_GUID_NOT_FOUND, STATUS_BUFFER_TOO_SMALL,
                           STATUS_WMI_ITEMID_NOT_FOUND, STATUS_BUFFER_TOO_SMALL, STATUS_WMI_ITEMID_NOT_FOUND,
                           STATUS_BUFFER_TOO_SMALL};
    for (size_t i = 0; i < std::size(refusals); i++) EXPECT_EQ(refusals[i].status, expected[i]) << refusals[i].what;

    Remove(pdo);
    Unload();
}

TEST_F(DriverTest, TraceMessagesReachTheSessionOnlyForEnabledFlags)
{
    // Enabled before the load: the driver's registration is told at once.
    TraceEnable(kDriverEntryExitProvider, 0x1);
    Load();
    PDEVICE_OBJECT pdo = Pdo();
    PDEVICE_OBJECT fdo = Add(pdo);
    ClearTraceMessages();
    SendIrp(fdo, IRP_MJ_READ, 0);
    std::vector<TraceMessage> m = TraceMessages();
    ASSERT_EQ(m.size(), 1u) << "channel 3 only: the exit message is channel 4 (flag 2)";
    EXPECT_EQ(m[0].Text(), "m_Dispatch_Read IN");
    EXPECT_EQ(m[0].number, 13);
    EXPECT_EQ(GuidText(m[0].messageGuid), GuidText(kDriverEntryExitProvider));
    EXPECT_EQ(m[0].logger, TraceSessionHandle());

    TraceEnable(kDriverEntryExitProvider, 0x3);
    ClearTraceMessages();
    SendIrp(fdo, IRP_MJ_WRITE, 0);
    m = TraceMessages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].Text(), "m_Dispatch_Write OUT - 00000000");
    EXPECT_EQ(m[1].number, 14);

    TraceDisable(kDriverEntryExitProvider);
    ClearTraceMessages();
    SendIrp(fdo, IRP_MJ_WRITE, 0);
    EXPECT_TRUE(TraceMessages().empty());
    Remove(pdo);
    Unload();
}

TEST_F(DriverTest, EveryDriverEntryAllocationFailingLeavesNothing)
{
    // Every load starts without LogLevel, so that its write-back is part of each.
    auto withoutLogLevel = [] {
        RegKey key;
        GetRegistry().CreatePath(kServiceKey, &key);
        GetRegistry().DeleteValue(key, u"LogLevel");
    };
    withoutLogLevel();
    uint64_t before = PoolAllocationCount();
    Load();
    uint64_t attempts = PoolAllocationCount() - before;
    Unload();
    ASSERT_GT(attempts, 3u);
    for (uint64_t n = 1; n <= attempts; n++) {
        withoutLogLevel();
        PoolFailNth(n);
        LoadedDriver failed = LoadDriver("KwJnTest");
        PoolClearFaults();
        EXPECT_EQ(failed.entryStatus, STATUS_UNSUCCESSFUL) << "allocation " << n;
        EXPECT_EQ(FrameworkBlocks(), 0u) << "allocation " << n;
        EXPECT_FALSE(KeyExists(kEventSource)) << "allocation " << n;
        EXPECT_TRUE(WmiProviders().empty()) << "allocation " << n;
        if (NT_SUCCESS(failed.entryStatus)) UnloadDriver(failed);
    }
}

TEST_F(DriverTest, EveryAddDeviceAllocationFailingLeavesNothing)
{
    Load();
    PDEVICE_OBJECT first = Pdo();
    uint64_t before = PoolAllocationCount();
    PDEVICE_OBJECT fdo = Add(first);
    uint64_t attempts = PoolAllocationCount() - before;
    ULONG record = PoolRecord(fdo);
    ASSERT_GT(attempts, 3u);
    PDEVICE_OBJECT pdo = Pdo();
    for (uint64_t n = 1; n <= attempts; n++) {
        size_t blocks = LivePoolBlocks().size();
        PoolFailNth(n);
        NTSTATUS status = CallAddDevice(driver.driverObject, pdo);
        PoolClearFaults();
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << "allocation " << n;
        EXPECT_EQ(pdo->AttachedDevice, nullptr) << "allocation " << n;
        EXPECT_EQ(LivePoolBlocks().size(), blocks) << "allocation " << n;
        EXPECT_EQ(PoolRecord(fdo), record) << "allocation " << n;
        EXPECT_EQ(WmiProviders().size(), 2u) << "allocation " << n << ": the trace block and the first device";
    }
    Remove(first);
    DeletePdo(pdo);
    Unload();
}

}  // namespace
}  // namespace kwsim::test

namespace kwsim::test {
namespace {

// Windows 2000 (WDM 1.10): the trace providers come with each device's WMI registration.
using Wdm110DriverTest = OnWindows<5, 0, DriverTest>;

TEST_F(Wdm110DriverTest, TracingIsEnabledThroughTheDevicesRegistration)
{
    Load();
    EXPECT_TRUE(WmiProviders().empty()) << "no callback registration before WDM 1.20";
    PDEVICE_OBJECT pdo = Pdo();
    PDEVICE_OBJECT fdo = Add(pdo);
    EXPECT_EQ(WmiQueryRegInfo(fdo, true).status, STATUS_INVALID_DEVICE_REQUEST) << "registration info (ex) is refused";
    TraceEnable(kDriverEntryExitProvider, 0x3);
    ClearTraceMessages();
    SendIrp(fdo, IRP_MJ_CLOSE, 0);
    auto m = TraceMessages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].Text(), "m_Dispatch_Close IN");
    EXPECT_EQ(m[1].Text(), "m_Dispatch_Close OUT - 00000000");
    Remove(pdo);
    Unload();
}

// Windows 98 (WDM 1.00): the last removal used to wait for the unload for ever.
using Wdm100DriverTest = OnWindows<4, 10, DriverTest>;

TEST_F(Wdm100DriverTest, TheLastRemovalReturnsAndTheUnloadCleansUp)
{
    Load();
    long loaded = Printed("KwJnTest: loaded with ");
    PDEVICE_OBJECT pdo = Pdo();
    Add(pdo);
    Remove(pdo);  // returns: the machine would report a deadlock otherwise
    Unload();
    EXPECT_EQ(Printed("KwJnTest: unload with "), loaded);
    EXPECT_EQ(FrameworkBlocks(), 0u);
    EXPECT_FALSE(KeyExists(kEventSource));
}

}  // namespace
}  // namespace kwsim::test
