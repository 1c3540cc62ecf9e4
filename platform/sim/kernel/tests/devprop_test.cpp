// Device properties and the device hardware key, as Plug and Play lends them to drivers.
#include <cstring>
#include <string>
#include <vector>

#include "simkernel/io.h"
#include "simkernel/registry.h"
#include "simtest.h"

namespace kwsim::test {
namespace {

// What a bus driver answers for one of its devices.
struct Identity {
    std::u16string deviceId = u"KWBUS\\VID_1209&PID_6011&MI_01";
    std::u16string instanceId = u"7&1A2B3C4D&0&0001";
    std::vector<std::u16string> hardwareIds = {u"KWBUS\\VID_1209&PID_6011&REV_0800&MI_01",
                                               u"KWBUS\\VID_1209&PID_6011&MI_01"};
    std::u16string description = u"Channel B";
};

PWCHAR PoolStrings(const std::vector<std::u16string>& parts, bool multi)
{
    size_t n = multi ? 1 : 0;
    for (auto& p : parts) n += p.size() + 1;
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, n * sizeof(WCHAR), KW_TAG("Tid ")));
    PWCHAR w = out;
    for (auto& p : parts) {
        memcpy(w, p.data(), p.size() * sizeof(WCHAR));
        w += p.size();
        *w++ = 0;
    }
    if (multi) *w = 0;
    return out;
}

class DevicePropertyTest : public SimTest {
protected:
    PDEVICE_OBJECT NewPdo(const Identity* identity)
    {
        return CreatePdo(u"", [identity, this](PDEVICE_OBJECT, PIRP irp) -> std::optional<NTSTATUS> {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            if (s->MajorFunction != IRP_MJ_PNP || !identity) return std::nullopt;
            queries++;
            if (s->MinorFunction == IRP_MN_QUERY_ID) {
                switch (s->Parameters.QueryId.IdType) {
                case BusQueryDeviceID: irp->IoStatus.Information = (ULONG_PTR)PoolStrings({identity->deviceId}, false); break;
                case BusQueryInstanceID: irp->IoStatus.Information = (ULONG_PTR)PoolStrings({identity->instanceId}, false); break;
                case BusQueryHardwareIDs: irp->IoStatus.Information = (ULONG_PTR)PoolStrings(identity->hardwareIds, true); break;
                default: return std::nullopt;
                }
                return STATUS_SUCCESS;
            }
            if (s->MinorFunction == IRP_MN_QUERY_DEVICE_TEXT &&
                s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
                irp->IoStatus.Information = (ULONG_PTR)PoolStrings({identity->description}, false);
                return STATUS_SUCCESS;
            }
            return std::nullopt;
        });
    }
    static std::u16string Text(const std::vector<WCHAR>& w, size_t bytes)
    {
        return std::u16string(reinterpret_cast<const char16_t*>(w.data()), bytes / sizeof(WCHAR));
    }

    Identity identity;
    int queries = 0;
};

TEST_F(DevicePropertyTest, PropertiesAreTheBusDriversAnswersInRegistryForm)
{
    PDEVICE_OBJECT pdo = NewPdo(&identity);
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    std::u16string expected = identity.hardwareIds[0] + u'\0' + identity.hardwareIds[1] + u'\0' + u'\0';
    EXPECT_EQ(length, expected.size() * sizeof(WCHAR)) << "a multi-string with its closing zero";
    std::vector<WCHAR> buffer(length / sizeof(WCHAR));
    ULONG result = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, length - 2, buffer.data(), &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, length);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, length, buffer.data(), &result), STATUS_SUCCESS);
    EXPECT_EQ(Text(buffer, result), expected);

    std::vector<WCHAR> text(64);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyDeviceDescription, 128, text.data(), &result), STATUS_SUCCESS);
    EXPECT_EQ(Text(text, result), identity.description + u'\0');
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, 128, text.data(), &result), STATUS_SUCCESS);
    EXPECT_EQ(Text(text, result), std::u16string(u"KWBUS") + u'\0');

    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyCompatibleIDs, 128, text.data(), &result),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "the bus driver gave none";
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyClassGuid, 128, text.data(), &result), STATUS_INVALID_PARAMETER_2);
    DeletePdo(pdo);
}

TEST_F(DevicePropertyTest, HardwareKeyIsTheInstancesDeviceParameters)
{
    PDEVICE_OBJECT pdo = NewPdo(&identity);
    const std::u16string path =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\KWBUS\\VID_1209&PID_6011&MI_01\\7&1A2B3C4D&0&0001"
        u"\\Device Parameters";
    EXPECT_EQ(DeviceInstancePath(pdo), u"KWBUS\\VID_1209&PID_6011&MI_01\\7&1A2B3C4D&0&0001");
    EXPECT_EQ(DeviceParametersKeyPath(pdo), path);

    // What an installation wrote is what the driver reads through its handle.
    RegKey written;
    ASSERT_EQ(GetRegistry().CreatePath(path + u"\\USB", &written), STATUS_SUCCESS);
    ULONG value = 0x12345678;
    ASSERT_EQ(GetRegistry().SetValue(written, u"DeviceClass", REG_DWORD, &value, 4), STATUS_SUCCESS);

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    RegKey opened;
    ASSERT_EQ(KeyFromHandle(key, &opened), STATUS_SUCCESS);
    EXPECT_EQ(GetRegistry().PathOf(opened), path);
    ULONG type = REG_DWORD;
    UNICODE_STRING sub;
    RtlInitUnicodeString(&sub, reinterpret_cast<PCWSTR>(u"USB"));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &sub, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, key, nullptr);
    HANDLE usb = nullptr;
    ASSERT_EQ(ZwOpenKey(&usb, KEY_READ, &oa), STATUS_SUCCESS);
    RegKey usbKey;
    ASSERT_EQ(KeyFromHandle(usb, &usbKey), STATUS_SUCCESS);
    RegValue read;
    ASSERT_EQ(GetRegistry().QueryValue(usbKey, u"DeviceClass", &read), STATUS_SUCCESS);
    EXPECT_EQ(read.type, type);
    ZwClose(usb);
    ZwClose(key);

    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    DeletePdo(pdo);
}

TEST_F(DevicePropertyTest, OnlyAPdoThatNamesItselfHasThem)
{
    // A PDO whose bus driver answers no identifiers has no instance, so no key.
    PDEVICE_OBJECT silent = NewPdo(nullptr);
    HANDLE key = nullptr;
    EXPECT_EQ(DeviceInstancePath(silent), u"");
    EXPECT_EQ(IoOpenDeviceRegistryKey(silent, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(silent, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_OBJECT_NAME_NOT_FOUND);

    // A functional device object is no PDO, and a driver attached above a PDO does not
    // answer for it: Plug and Play asks the bus driver.
    PDEVICE_OBJECT pdo = NewPdo(&identity);
    PDRIVER_OBJECT driver = CreateDriverObject(u"\\Driver\\Above");
    driver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        ADD_FAILURE() << "the function driver was asked";
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    };
    PDEVICE_OBJECT fdo = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo), STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoGetDeviceProperty(fdo, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_INVALID_DEVICE_REQUEST);
    queries = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(queries, 1);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    DeletePdo(pdo);
    DeletePdo(silent);
}

TEST_F(DevicePropertyTest, AboveThePassiveLevelIsAVerifierReport)
{
    PDEVICE_OBJECT pdo = NewPdo(&identity);
    ExpectReport(ReportKind::Verifier, "IoOpenDeviceRegistryKey called above PASSIVE_LEVEL");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    HANDLE key = nullptr;
    IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    KeLowerIrql(old);
    if (key) ZwClose(key);
    DeletePdo(pdo);
}

}  // namespace
}  // namespace kwsim::test
