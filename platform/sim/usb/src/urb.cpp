// Turning a submitted URB into a transfer: which bus request it is, and whether the
// stack refuses it (as Windows does, before anything reaches the bus).
#include <algorithm>
#include <cstring>
#include <set>

#include "host_internal.h"

namespace kwsim::usb::detail {

NTSTATUS NtFromUsbd(USBD_STATUS usbd)
{
    switch (usbd) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_INTERFACE_NOT_FOUND: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_ERROR_BUSY: return STATUS_DEVICE_BUSY;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    default: return STATUS_UNSUCCESSFUL;
    }
}

namespace {

uint8_t* BufferOf(PVOID buffer, PMDL mdl)
{
    if (buffer) return static_cast<uint8_t*>(buffer);
    if (!mdl) return nullptr;
    if (mdl->MappedSystemVa) return static_cast<uint8_t*>(mdl->MappedSystemVa);
    return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
}

bool Fits(const URB* urb, size_t size) { return urb->UrbHeader.Length >= size; }

// The pipe a handle names, if the PDO the request came through may use it.
const Pipe* FindPipe(const DeviceState& dev, USBD_PIPE_HANDLE handle, int view)
{
    auto it = dev.pipes.find(reinterpret_cast<uintptr_t>(handle));
    if (it == dev.pipes.end()) return nullptr;
    if (view >= 0 && it->second.view != view) return nullptr;
    return &it->second;
}

// The data stage of a control transfer (all control URBs keep it at the same place).
USBD_STATUS ControlData(Transfer& t, PVOID buffer, PMDL mdl, ULONG* length)
{
    t.length = *length;
    t.lengthField = length;
    t.buffer = BufferOf(buffer, mdl);
    if (t.length > MAXUSHORT || (t.length && !t.buffer)) return USBD_STATUS_INVALID_PARAMETER;
    t.setup.wLength = (uint16_t)t.length;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS VendorOrClass(Transfer& t, uint8_t type, uint8_t recipient)
{
    if (!Fits(t.urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))) return USBD_STATUS_INVALID_PARAMETER;
    auto& r = t.urb->UrbControlVendorClassRequest;
    bool in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
    t.setup.bmRequestType = uint8_t((in ? 0x80 : 0) | type << 5 | recipient | r.RequestTypeReservedBits);
    t.setup.bRequest = r.Request;
    t.setup.wValue = r.Value;
    t.setup.wIndex = r.Index;
    return ControlData(t, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
}

// The interface information blocks of a select request, from `first` to the URB's end.
struct Selection {
    PUSBD_INTERFACE_INFORMATION info;
    const AltSetting* setting;
};

USBD_STATUS Interfaces(const URB* urb, PUCHAR first, const ConfigInfo& config, int view, bool single,
                       std::vector<Selection>& out)
{
    PUCHAR end = (PUCHAR)urb + urb->UrbHeader.Length;
    std::set<uint8_t> seen;
    for (PUCHAR p = first; p + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end;) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || p + info->Length > end)
            return USBD_STATUS_INVALID_PARAMETER;
        const AltSetting* s = config.Find(info->InterfaceNumber, info->AlternateSetting);
        if (!s) return USBD_STATUS_INTERFACE_NOT_FOUND;
        // A child of a composite device selects its own interface only.
        if (view >= 0 && info->InterfaceNumber != view) return USBD_STATUS_INVALID_PARAMETER;
        if (!seen.insert(info->InterfaceNumber).second) return USBD_STATUS_INVALID_PARAMETER;
        if (info->Length < GET_USBD_INTERFACE_SIZE(s->endpoints.size())) return USBD_STATUS_BUFFER_TOO_SMALL;
        out.push_back({info, s});
        p += info->Length;
        if (single) break;
    }
    return out.empty() ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(Core& core, Transfer& t)
{
    DeviceState& dev = *t.dev;
    if (!Fits(t.urb, offsetof(struct _URB_SELECT_CONFIGURATION, Interface))) return USBD_STATUS_INVALID_PARAMETER;
    auto& sc = t.urb->UrbSelectConfiguration;
    if (!sc.ConfigurationDescriptor) {
        if (t.view >= 0) {
            // A child gives its pipes back; the composite parent keeps the device configured.
            t.local = true;
            t.onSuccess = [&core](Transfer& x) { core.ClosePipes(x.dev, [&](const Pipe& p) { return p.view == x.view; }); };
            return USBD_STATUS_SUCCESS;
        }
        t.setup = {0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
        t.onSuccess = [&core](Transfer& x) {
            core.ClosePipes(x.dev, [](const Pipe&) { return true; });
            x.dev->configuration = 0;
            x.dev->alternates.clear();
        };
        return USBD_STATUS_SUCCESS;
    }
    const ConfigInfo* config = dev.Config(sc.ConfigurationDescriptor->bConfigurationValue);
    if (!config) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    if (t.view >= 0 && config->value != dev.configuration) return USBD_STATUS_INVALID_PARAMETER;
    auto selections = std::make_shared<std::vector<Selection>>();
    USBD_STATUS st = Interfaces(t.urb, (PUCHAR)&sc.Interface, *config, t.view, false, *selections);
    if (!USBD_SUCCESS(st)) return st;
    uint8_t value = config->value;
    if (t.view >= 0) {
        t.setup = {0x01, USB_REQUEST_SET_INTERFACE, (*selections)[0].setting->alternate, (uint16_t)t.view, 0};
    } else {
        t.setup = {0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
        for (auto& s : *selections)
            if (s.setting->alternate) t.alternates.push_back({s.setting->number, s.setting->alternate});
    }
    t.onSuccess = [&core, selections, value](Transfer& x) {
        DeviceState& d = *x.dev;
        if (x.view < 0) {
            core.ClosePipes(&d, [](const Pipe&) { return true; });
            d.configuration = value;
            d.alternates.clear();
            d.configHandle = core.NewHandle();
        } else {
            core.ClosePipes(&d, [&](const Pipe& p) { return p.view == x.view; });
        }
        x.urb->UrbSelectConfiguration.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)d.configHandle;
        for (auto& s : *selections) core.OpenInterface(d, *s.info, *s.setting, x.view);
    };
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Core& core, Transfer& t)
{
    DeviceState& dev = *t.dev;
    if (!Fits(t.urb, offsetof(struct _URB_SELECT_INTERFACE, Interface.Pipes))) return USBD_STATUS_INVALID_PARAMETER;
    auto& si = t.urb->UrbSelectInterface;
    const ConfigInfo* config = dev.Config(dev.configuration);
    if (!config || (uintptr_t)si.ConfigurationHandle != dev.configHandle) return USBD_STATUS_INVALID_PARAMETER;
    auto selections = std::make_shared<std::vector<Selection>>();
    USBD_STATUS st = Interfaces(t.urb, (PUCHAR)&si.Interface, *config, t.view, true, *selections);
    if (!USBD_SUCCESS(st)) return st;
    const AltSetting* s = (*selections)[0].setting;
    t.setup = {0x01, USB_REQUEST_SET_INTERFACE, s->alternate, s->number, 0};
    t.onSuccess = [&core, selections](Transfer& x) {
        uint8_t number = (*selections)[0].setting->number;
        core.ClosePipes(x.dev, [number](const Pipe& p) { return p.iface == number; });
        core.OpenInterface(*x.dev, *(*selections)[0].info, *(*selections)[0].setting, x.view);
    };
    return USBD_STATUS_SUCCESS;
}

}  // namespace

USBD_STATUS Decode(Core& core, Transfer& t)
{
    DeviceState& dev = *t.dev;
    URB* urb = t.urb;
    if (urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) return USBD_STATUS_INVALID_PARAMETER;
    t.kind = Kind::Control;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        if (!Fits(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb->UrbControlDescriptorRequest;
        t.setup = {0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index),
                   r.LanguageId, 0};
        return ControlData(t, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
    }
    case URB_FUNCTION_VENDOR_DEVICE: return VendorOrClass(t, 2, 0);
    case URB_FUNCTION_VENDOR_INTERFACE: return VendorOrClass(t, 2, 1);
    case URB_FUNCTION_VENDOR_ENDPOINT: return VendorOrClass(t, 2, 2);
    case URB_FUNCTION_VENDOR_OTHER: return VendorOrClass(t, 2, 3);
    case URB_FUNCTION_CLASS_DEVICE: return VendorOrClass(t, 1, 0);
    case URB_FUNCTION_CLASS_INTERFACE: return VendorOrClass(t, 1, 1);
    case URB_FUNCTION_CLASS_ENDPOINT: return VendorOrClass(t, 1, 2);
    case URB_FUNCTION_CLASS_OTHER: return VendorOrClass(t, 1, 3);
    case URB_FUNCTION_CONTROL_TRANSFER: {
        if (!Fits(urb, sizeof(struct _URB_CONTROL_TRANSFER))) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb->UrbControlTransfer;
        // The default pipe is the only control pipe a full-speed function has here.
        if (r.PipeHandle && !(r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) return USBD_STATUS_INVALID_PIPE_HANDLE;
        const UCHAR* s = r.SetupPacket;
        t.setup = {s[0], s[1], uint16_t(s[2] | s[3] << 8), uint16_t(s[4] | s[5] << 8), 0};
        USBD_STATUS st = ControlData(t, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
        // The direction of the data stage is the URB's, as the stack takes it.
        t.setup.bmRequestType = uint8_t((t.setup.bmRequestType & 0x7F) |
                                        (USBD_TRANSFER_DIRECTION(r.TransferFlags) ? 0x80 : 0));
        return st;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(core, t);
    case URB_FUNCTION_SELECT_INTERFACE: return SelectInterface(core, t);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        if (!Fits(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))) return USBD_STATUS_INVALID_PARAMETER;
        auto& r = urb->UrbBulkOrInterruptTransfer;
        t.kind = Kind::Bulk;
        t.flags = r.TransferFlags;
        t.length = r.TransferBufferLength;
        t.limit = t.length;
        t.lengthField = &r.TransferBufferLength;
        t.buffer = BufferOf(r.TransferBuffer, r.TransferBufferMDL);
        const Pipe* pipe = FindPipe(dev, r.PipeHandle, t.view);
        if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
        t.endpoint = pipe->endpoint;
        if (t.length && !t.buffer) return USBD_STATUS_INVALID_PARAMETER;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
        if (!Fits(urb, sizeof(struct _URB_PIPE_REQUEST))) return USBD_STATUS_INVALID_PARAMETER;
        const Pipe* pipe = FindPipe(dev, urb->UrbPipeRequest.PipeHandle, t.view);
        if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
        uint8_t ep = pipe->endpoint;
        t.endpoint = ep;
        USHORT f = urb->UrbHeader.Function;
        if (f == URB_FUNCTION_ABORT_PIPE) {
            t.local = true;
            t.onSubmit = [&core, ep](Transfer& x) { core.Abort(x.dev, ep); };
            return USBD_STATUS_SUCCESS;
        }
        // Resetting the pipe clears the host's halt and data toggle; clearing the stall
        // is the CLEAR_FEATURE(ENDPOINT_HALT) request to the device.
        t.onSuccess = [ep](Transfer& x) {
            auto it = x.dev->endpoints.find(ep);
            if (it == x.dev->endpoints.end()) return;
            it->second.halted = false;
            it->second.readyFrame = std::max(it->second.readyFrame, FrameAfter(Now()));
        };
        if (f == URB_FUNCTION_SYNC_RESET_PIPE) {
            t.local = true;
            return USBD_STATUS_SUCCESS;
        }
        t.setup = {0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, ep, 0};
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (!Fits(urb, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))) return USBD_STATUS_INVALID_PARAMETER;
        urb->UrbGetCurrentFrameNumber.FrameNumber = (ULONG)(Now() / kFrame);
        t.local = true;
        return USBD_STATUS_SUCCESS;
    default:
        // Requests of the driver interface this host does not model, and numbers that
        // are no request at all.
        if (urb->UrbHeader.Function <= URB_FUNCTION_SYNC_CLEAR_STALL) return USBD_STATUS_NOT_SUPPORTED;
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

}  // namespace kwsim::usb::detail
