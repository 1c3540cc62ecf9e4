// What Plug and Play keeps of a device and lends to its drivers: the properties its bus
// driver reported (IoGetDeviceProperty) and the hardware key of its instance
// (IoOpenDeviceRegistryKey).
//
// The Plug and Play manager asks a new PDO for its identifiers and texts once and keeps
// the answers. This one asks the PDO itself each time a driver wants them, which gives
// the same answers for as long as the bus driver keeps them; the PDO's own driver is
// asked, never the drivers attached above it.
#include <cstring>

#include "io_internal.h"
#include "registry_internal.h"

namespace kwsim::detail {

namespace {

constexpr char16_t kEnumRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr char16_t kDeviceParameters[] = u"\\Device Parameters";

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool IsPdo(PDEVICE_OBJECT device) { return device && (device->Flags & DO_BUS_ENUMERATED_DEVICE); }

// One Plug and Play query to the PDO's own driver; the answer's pool text is the
// caller's (Information), as for the Plug and Play manager.
NTSTATUS AskPdo(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                ULONG_PTR* information)
{
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    setup(next);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

// The strings of an identifier or text answer; a multi-string ends at its empty string.
std::vector<std::u16string> TakeStrings(ULONG_PTR information, bool multi)
{
    std::vector<std::u16string> out;
    const WCHAR* text = reinterpret_cast<const WCHAR*>(information);
    if (!text) return out;
    for (const WCHAR* p = text;;) {
        std::u16string s;
        while (*p) s.push_back(*p++);
        if (s.empty() && (multi || !out.empty())) break;
        out.push_back(std::move(s));
        if (!multi) break;
        p++;
    }
    ExFreePool(const_cast<WCHAR*>(text));
    return out;
}

NTSTATUS QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::u16string>& out)
{
    ULONG_PTR information = 0;
    NTSTATUS status =
        AskPdo(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; }, &information);
    if (!NT_SUCCESS(status)) return status;
    out = TakeStrings(information, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
    return out.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}

NTSTATUS QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, std::vector<std::u16string>& out)
{
    ULONG_PTR information = 0;
    NTSTATUS status = AskPdo(pdo, IRP_MN_QUERY_DEVICE_TEXT,
                             [type](PIO_STACK_LOCATION s) {
                                 s->Parameters.QueryDeviceText.DeviceTextType = type;
                                 s->Parameters.QueryDeviceText.LocaleId = 0x0409;
                             },
                             &information);
    if (!NT_SUCCESS(status)) return status;
    out = TakeStrings(information, false);
    return out.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}

// Strings in registry form: each terminated, and a multi-string closed by one more zero.
std::vector<WCHAR> RegistryForm(const std::vector<std::u16string>& strings, bool multi)
{
    std::vector<WCHAR> out;
    for (auto& s : strings) {
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
    }
    if (multi) out.push_back(0);
    return out;
}

}  // namespace

}  // namespace kwsim::detail

namespace kwsim {
using namespace detail;

std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo)
{
    if (!IsPdo(pdo)) return u"";
    std::vector<std::u16string> device, instance;
    if (!NT_SUCCESS(QueryId(pdo, BusQueryDeviceID, device)) || !NT_SUCCESS(QueryId(pdo, BusQueryInstanceID, instance)))
        return u"";
    return device[0] + u"\\" + instance[0];
}

std::u16string DeviceParametersKeyPath(PDEVICE_OBJECT pdo)
{
    std::u16string instance = DeviceInstancePath(pdo);
    if (instance.empty()) return u"";
    return kEnumRoot + instance + kDeviceParameters;
}

}  // namespace kwsim

using namespace kwsim;
using namespace kwsim::detail;

extern "C" {

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength)
{
    RequirePassive("IoGetDeviceProperty");
    if (!ResultLength || (BufferLength && !PropertyBuffer)) {
        Verify("IoGetDeviceProperty without a result length or buffer");
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = 0;
    if (!IsPdo(DeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
    std::vector<std::u16string> strings;
    bool multi = false;
    NTSTATUS status;
    switch (DeviceProperty) {
    case DevicePropertyHardwareID:
        multi = true;
        status = QueryId(DeviceObject, BusQueryHardwareIDs, strings);
        break;
    case DevicePropertyCompatibleIDs:
        multi = true;
        status = QueryId(DeviceObject, BusQueryCompatibleIDs, strings);
        break;
    case DevicePropertyDeviceDescription:
        status = QueryText(DeviceObject, DeviceTextDescription, strings);
        break;
    case DevicePropertyLocationInformation:
        status = QueryText(DeviceObject, DeviceTextLocationInformation, strings);
        break;
    case DevicePropertyEnumeratorName: {
        status = QueryId(DeviceObject, BusQueryDeviceID, strings);
        if (NT_SUCCESS(status)) strings[0] = strings[0].substr(0, strings[0].find(u'\\'));
        break;
    }
    case DevicePropertyPhysicalDeviceObjectName: {
        std::u16string name = DeviceName(DeviceObject);
        if (name.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        strings.push_back(name);
        status = STATUS_SUCCESS;
        break;
    }
    default:
        // Properties that come from installation or resources: not kept by this Plug
        // and Play manager.
        return STATUS_INVALID_PARAMETER_2;
    }
    if (!NT_SUCCESS(status)) return status == STATUS_NOT_SUPPORTED ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    std::vector<WCHAR> bytes = RegistryForm(strings, multi);
    ULONG needed = (ULONG)(bytes.size() * sizeof(WCHAR));
    *ResultLength = needed;
    if (BufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
    memcpy(PropertyBuffer, bytes.data(), needed);
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey)
{
    RequirePassive("IoOpenDeviceRegistryKey");
    if (!DevInstRegKey) {
        Verify("IoOpenDeviceRegistryKey without a handle to return");
        return STATUS_INVALID_PARAMETER;
    }
    *DevInstRegKey = nullptr;
    if (!IsPdo(DeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
    // Software keys and hardware profiles belong to a class installation, which this
    // simulated PC does not keep.
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
    std::u16string path = DeviceParametersKeyPath(DeviceObject);
    if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    // The key is made when it is first asked for, as on Windows.
    return OpenKeyHandle(path, DesiredAccess, true, DevInstRegKey);
}

}  // extern "C"
