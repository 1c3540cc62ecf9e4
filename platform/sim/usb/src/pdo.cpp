// The physical device objects of plugged devices: what they answer to Plug and Play
// (identifiers as the Windows hub and composite drivers report them, texts,
// capabilities, relations, state changes), power, and where USB requests go.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host_internal.h"

namespace kwsim::usb::detail {

namespace {

constexpr ULONG kTextTag = KW_TAG("UsbT");
constexpr GUID kBusTypeUsb = {0x9D7DEBBC, 0xC85D, 0x11D1, {0x9E, 0xB4, 0x00, 0x60, 0x08, 0xC3, 0xA1, 0x9A}};

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char buf[160];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// A string (or, with several, a multi-string) from paged pool, as Plug and Play frees it.
PWCHAR PoolText(const std::vector<std::u16string>& parts, bool multi)
{
    size_t n = 0;
    for (auto& p : parts) n += p.size() + 1;
    if (multi) n++;
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, n * sizeof(WCHAR), kTextTag));
    if (!out) return nullptr;
    PWCHAR w = out;
    for (auto& p : parts) {
        memcpy(w, p.data(), p.size() * sizeof(WCHAR));
        w += p.size();
        *w++ = 0;
    }
    if (multi) *w = 0;
    return out;
}

std::vector<std::u16string> ClassIds(const char* prefix, uint8_t cls, uint8_t sub, uint8_t prot)
{
    return {Wide(Format("USB\\%s_%02x&SubClass_%02x&Prot_%02x", prefix, cls, sub, prot)),
            Wide(Format("USB\\%s_%02x&SubClass_%02x", prefix, cls, sub)), Wide(Format("USB\\%s_%02x", prefix, cls))};
}

const AltSetting* FirstSetting(const DeviceState& d, int number)
{
    if (d.configs.empty()) return nullptr;
    for (auto& s : d.configs[0].settings)
        if ((number < 0 || s.number == number) && s.alternate == 0) return &s;
    return nullptr;
}

std::vector<std::u16string> Ids(const DeviceState& d, int view, BUS_QUERY_ID_TYPE type)
{
    const USB_DEVICE_DESCRIPTOR& dd = d.descriptor;
    std::string base = Format("USB\\VID_%04X&PID_%04X", dd.idVendor, dd.idProduct);
    std::string mi = view >= 0 ? Format("&MI_%02X", view) : "";
    switch (type) {
    case BusQueryDeviceID: return {Wide(base + mi)};
    case BusQueryHardwareIDs: return {Wide(base + Format("&REV_%04X", dd.bcdDevice) + mi), Wide(base + mi)};
    case BusQueryCompatibleIDs: {
        if (view < 0 && d.composite) {
            auto ids = ClassIds("DevClass", dd.bDeviceClass, dd.bDeviceSubClass, dd.bDeviceProtocol);
            ids.push_back(u"USB\\COMPOSITE");
            return ids;
        }
        if (view < 0 && dd.bDeviceClass) return ClassIds("DevClass", dd.bDeviceClass, dd.bDeviceSubClass, dd.bDeviceProtocol);
        const AltSetting* s = FirstSetting(d, view);
        if (!s) return {};
        return ClassIds("Class", s->cls, s->subClass, s->protocol);
    }
    case BusQueryInstanceID: {
        if (view < 0) return {d.instanceId};
        // The composite driver names its children after the parent and the interface.
        uint32_t hash = 2166136261u;
        for (char16_t c : d.instanceId) hash = (hash ^ c) * 16777619u;
        return {Wide(Format("7&%08X&0&%04X", hash, view))};
    }
    default: return {};
    }
}

std::u16string DeviceString(DeviceState& d, uint8_t index)
{
    if (!index) return u"";
    return StringDescriptorText(d.model->StringDescriptor(index, 0x0409));
}

std::u16string Description(DeviceState& d, int view)
{
    if (view < 0 && d.composite) return u"USB Composite Device";
    std::u16string text;
    if (view >= 0)
        if (const AltSetting* s = FirstSetting(d, view)) text = DeviceString(d, s->iInterface);
    if (text.empty()) text = DeviceString(d, d.descriptor.iProduct);
    return text.empty() ? u"USB Device" : text;
}

NTSTATUS Pnp(PdoContext* ctx, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    Core& core = *ctx->core;
    DeviceState& d = *ctx->dev;
    NTSTATUS status = irp->IoStatus.Status;
    bool remove = false;
    switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        status = STATUS_SUCCESS;
        // A device still plugged in keeps its PDO (Plug and Play may start it again).
        std::lock_guard<std::mutex> lk(core.mu);
        remove = !d.present;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = s->Parameters.DeviceCapabilities.Capabilities;
        std::lock_guard<std::mutex> lk(core.mu);
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->UniqueID = d.serialInstance ? 1 : 0;
        caps->EjectSupported = 0;
        caps->LockSupported = 0;
        caps->Address = ctx->view < 0 ? (ULONG)d.port : (ULONG)ctx->view;
        caps->UINumber = (ULONG)d.port;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int st = PowerSystemSleeping1; st < PowerSystemMaximum; st++) caps->DeviceState[st] = PowerDeviceD3;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID: {
        BUS_QUERY_ID_TYPE type = s->Parameters.QueryId.IdType;
        if (type > BusQueryInstanceID) break;
        std::vector<std::u16string> ids;
        {
            std::lock_guard<std::mutex> lk(core.mu);
            ids = Ids(d, ctx->view, type);
        }
        bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
        PWCHAR text = PoolText(ids, multi);
        if (!text) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        irp->IoStatus.Information = (ULONG_PTR)text;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        std::u16string text;
        {
            std::lock_guard<std::mutex> lk(core.mu);
            if (s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
                text = Description(d, ctx->view);
            else if (s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation)
                text = Wide(Format("Port_#%04d.Hub_#0001", d.port));
        }
        if (text.empty()) break;
        PWCHAR pool = PoolText({text}, false);
        if (!pool) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        irp->IoStatus.Information = (ULONG_PTR)pool;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        if (s->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
        auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTextTag));
        if (!rel) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        rel->Count = 1;
        rel->Objects[0] = ctx->pdo;
        ObfReferenceObject(ctx->pdo);
        irp->IoStatus.Information = (ULONG_PTR)rel;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE: {
        std::lock_guard<std::mutex> lk(core.mu);
        if (!d.present) {
            irp->IoStatus.Information |= PNP_DEVICE_REMOVED;
            status = STATUS_SUCCESS;
        }
        break;
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
        auto* info = static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kTextTag));
        if (!info) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        info->BusTypeGuid = kBusTypeUsb;
        info->LegacyBusType = PNPBus;
        info->BusNumber = 0;
        irp->IoStatus.Information = (ULONG_PTR)info;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (remove) DeletePdo(ctx);
    return status;
}

}  // namespace

PdoContext* ContextOf(PDEVICE_OBJECT pdo)
{
    if (!pdo || !pdo->DeviceExtension) return nullptr;
    auto* ctx = *static_cast<PdoContext**>(pdo->DeviceExtension);
    return ctx && ctx->magic == PdoContext::kMagic ? ctx : nullptr;
}

NTSTATUS HubDispatch(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    PdoContext* ctx = ContextOf(pdo);
    NTSTATUS status;
    if (!ctx) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        return ctx->core->Internal(ctx, irp);
    } else if (s->MajorFunction == IRP_MJ_PNP) {
        return Pnp(ctx, irp);
    } else if (s->MajorFunction == IRP_MJ_POWER) {
        status = s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER ? STATUS_SUCCESS
                                                                                               : STATUS_NOT_SUPPORTED;
    } else if (s->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        status = irp->IoStatus.Status;  // no WMI of its own: passed on unchanged
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool CreatePdos(Core& core, DeviceState& d)
{
    std::vector<int> views{-1};
    if (d.composite)
        for (uint8_t n : d.configs[0].interfaceNumbers) views.push_back(n);
    for (int view : views) {
        PDEVICE_OBJECT pdo = nullptr;
        NTSTATUS st;
        if (view < 0) {
            // The hub's names: \Device\USBPDO-n.
            do {
                std::u16string name = Wide(Format("\\Device\\USBPDO-%d", core.nextPdoName++));
                UNICODE_STRING u;
                u.Buffer = reinterpret_cast<PWSTR>(name.data());
                u.Length = u.MaximumLength = (USHORT)(name.size() * sizeof(WCHAR));
                st = IoCreateDevice(core.hub, sizeof(PdoContext*), &u, FILE_DEVICE_USB, 0, FALSE, &pdo);
            } while (st == STATUS_OBJECT_NAME_COLLISION);
        } else {
            st = IoCreateDevice(core.hub, sizeof(PdoContext*), nullptr, FILE_DEVICE_USB, FILE_AUTOGENERATED_DEVICE_NAME,
                                FALSE, &pdo);
        }
        if (!NT_SUCCESS(st)) return false;
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        auto* ctx = new PdoContext;
        ctx->core = core.shared_from_this();
        ctx->dev = &d;
        ctx->view = view;
        ctx->pdo = pdo;
        *static_cast<PdoContext**>(pdo->DeviceExtension) = ctx;
        d.pdos.push_back(ctx);
    }
    return true;
}

void DeletePdo(PdoContext* ctx)
{
    {
        std::lock_guard<std::mutex> lk(ctx->core->mu);
        auto& pdos = ctx->dev->pdos;
        pdos.erase(std::find(pdos.begin(), pdos.end(), ctx));
    }
    ctx->magic = 0;
    *static_cast<PdoContext**>(ctx->pdo->DeviceExtension) = nullptr;
    IoDeleteDevice(ctx->pdo);
    delete ctx;  // may release the last reference to the host's state
}

}  // namespace kwsim::usb::detail
