// The simulated WMI service: provider registration and a consumer that sends requests
// to the providers the way the WMI service does.
#include <cstdio>
#include <cstring>

#include "wmi_internal.h"

namespace kwsim::detail {

WmiState WMI;

bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

namespace {

// A WNODE buffer, 8-byte aligned as the WMI service allocates them.
struct WnodeBuffer {
    std::vector<uint64_t> words;
    explicit WnodeBuffer(ULONG size) : words((size + 7) / 8 + 1, 0) {}
    PUCHAR Bytes() { return reinterpret_cast<PUCHAR>(words.data()); }
    PWNODE_HEADER Header() { return reinterpret_cast<PWNODE_HEADER>(words.data()); }
};

WMIENTRY CallbackOf(PDEVICE_OBJECT block) { return *reinterpret_cast<WMIENTRY*>(block); }

struct Sent {
    NTSTATUS status;
    ULONG_PTR information;
};

// One request to a provider: an IRP to the top of its stack, or a call of its callback.
Sent Send(const WmiRegistration& r, UCHAR minor, PVOID dataPath, ULONG size, PVOID buffer)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("WMI requests are sent at PASSIVE_LEVEL");
    if (r.callback) {
        ULONG returned = 0;
        NTSTATUS st = CallbackOf(r.object)(minor, dataPath, size, buffer, r.object, &returned);
        return {st, returned};
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(r.object);
    IrpResult res = SendIrp(top, IRP_MJ_SYSTEM_CONTROL, minor, [&](PIRP irp, PIO_STACK_LOCATION s) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        s->Parameters.WMI.ProviderId = (ULONG_PTR)r.object;
        s->Parameters.WMI.DataPath = dataPath;
        s->Parameters.WMI.BufferSize = size;
        s->Parameters.WMI.Buffer = buffer;
    });
    ObfDereferenceObject(top);
    return {res.status, res.information};
}

std::u16string Counted(PUCHAR base, ULONG size, ULONG offset)
{
    if (!offset || offset + sizeof(USHORT) > size) return u"";
    USHORT length;
    memcpy(&length, base + offset, sizeof length);
    if (offset + sizeof(USHORT) + length > size) return u"";
    std::u16string s(length / 2, u'\0');
    memcpy(s.data(), base + offset + sizeof(USHORT), length & ~1u);
    return s;
}

std::optional<WmiRegistration> Find(PDEVICE_OBJECT provider)
{
    std::lock_guard<std::mutex> lk(WMI.mu);
    for (auto& r : WMI.providers)
        if (r.object == provider) return r;
    return std::nullopt;
}

std::vector<TraceEnableState> EnabledFor(const WmiRegInfo& info, std::vector<GUID>& guids)
{
    std::vector<TraceEnableState> states;
    std::lock_guard<std::mutex> lk(WMI.mu);
    for (auto& g : info.guids)
        for (auto& [guid, state] : WMI.enabled)
            if (SameGuid(g.guid, guid)) {
                guids.push_back(guid);
                states.push_back(state);
            }
    return states;
}

}  // namespace

WmiRegInfo QueryRegInfo(const WmiRegistration& r, bool ex)
{
    WmiRegInfo info;
    ULONG size = 256;
    for (int attempt = 0; attempt < 2; attempt++) {
        WnodeBuffer buffer(size);
        Sent sent = Send(r, ex ? IRP_MN_REGINFO_EX : IRP_MN_REGINFO, nullptr, size, buffer.Bytes());
        info.status = sent.status;
        if (sent.status == STATUS_BUFFER_TOO_SMALL && sent.information == sizeof(ULONG)) {
            memcpy(&size, buffer.Bytes(), sizeof size);
            continue;
        }
        if (!NT_SUCCESS(sent.status)) return info;
        auto* reg = reinterpret_cast<PWMIREGINFOW>(buffer.Bytes());
        ULONG total = reg->BufferSize < size ? reg->BufferSize : size;
        for (ULONG i = 0; i < reg->GuidCount; i++) {
            if (offsetof(WMIREGINFOW, WmiRegGuid) + (i + 1) * sizeof(WMIREGGUIDW) > total) break;
            const WMIREGGUIDW& g = reg->WmiRegGuid[i];
            info.guids.push_back({g.Guid, g.Flags, g.InstanceCount, g.Pdo});
        }
        info.registryPath = Counted(buffer.Bytes(), total, reg->RegistryPath);
        info.mofResourceName = Counted(buffer.Bytes(), total, reg->MofResourceName);
        return info;
    }
    return info;
}

void SendTraceControl(const WmiRegistration& r, const GUID& guid, bool enable)
{
    WNODE_HEADER header{};
    header.BufferSize = sizeof header;
    header.Guid = guid;
    header.HistoricalContext = TraceSessionHandle();
    header.Flags = WNODE_FLAG_TRACED_GUID;
    GUID path = guid;
    Send(r, enable ? IRP_MN_ENABLE_EVENTS : IRP_MN_DISABLE_EVENTS, &path, sizeof header, &header);
}

void CollectWmiLeaks(std::vector<std::string>& out)
{
    std::lock_guard<std::mutex> lk(WMI.mu);
    for (auto& r : WMI.providers) {
        char buf[96];
        snprintf(buf, sizeof buf, "WMI provider %s%p is still registered", r.callback ? "block " : "device ",
                 (void*)r.object);
        out.push_back(buf);
    }
}

void ResetWmi()
{
    std::lock_guard<std::mutex> lk(WMI.mu);
    WMI.providers.clear();
    WMI.enabled.clear();
    WMI.messages.clear();
}

}  // namespace kwsim::detail

using namespace kwsim;
using namespace kwsim::detail;

extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT object, ULONG action)
{
    if (Current()->irql != PASSIVE_LEVEL) Verify("IoWMIRegistrationControl above PASSIVE_LEVEL");
    bool callback = (action & WMIREG_FLAG_CALLBACK) != 0;
    ULONG what = action & ~WMIREG_FLAG_CALLBACK;
    if (!object) return STATUS_INVALID_PARAMETER;
    std::optional<WmiRegistration> known = Find(object);
    switch (what) {
    case WMIREG_ACTION_REGISTER: {
        if (known) return STATUS_OBJECT_NAME_COLLISION;
        WmiRegistration r{object, callback};
        {
            std::lock_guard<std::mutex> lk(WMI.mu);
            WMI.providers.push_back(r);
        }
        // A trace session already running enables a callback provider as it registers;
        // a device is asked only once its driver can answer (by the next TraceEnable).
        if (callback) {
            WmiRegInfo info = QueryRegInfo(r, false);
            std::vector<GUID> guids;
            EnabledFor(info, guids);
            for (auto& g : guids) SendTraceControl(r, g, true);
        }
        return STATUS_SUCCESS;
    }
    case WMIREG_ACTION_DEREGISTER: {
        if (!known) return STATUS_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lk(WMI.mu);
        std::erase_if(WMI.providers, [&](const WmiRegistration& r) { return r.object == object; });
        return STATUS_SUCCESS;
    }
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        return known ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

namespace kwsim {

std::vector<PDEVICE_OBJECT> WmiProviders()
{
    std::lock_guard<std::mutex> lk(WMI.mu);
    std::vector<PDEVICE_OBJECT> out;
    for (auto& r : WMI.providers) out.push_back(r.object);
    return out;
}

bool WmiIsRegistered(PDEVICE_OBJECT provider) { return Find(provider).has_value(); }

WmiRegInfo WmiQueryRegInfo(PDEVICE_OBJECT provider, bool ex)
{
    auto r = Find(provider);
    if (!r) return {};
    return QueryRegInfo(*r, ex);
}

namespace {

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// Sends a prepared WNODE and reads what came back.
WmiResult Exchange(PDEVICE_OBJECT provider, UCHAR minor, const GUID& guid, WnodeBuffer& buffer, ULONG size,
                   ULONG dataOffset)
{
    WmiResult result;
    auto r = Find(provider);
    if (!r) return result;
    PWNODE_HEADER header = buffer.Header();
    header->BufferSize = size;
    header->ProviderId = (ULONG)(ULONG_PTR)provider;
    header->Guid = guid;
    GUID path = guid;
    Sent sent = Send(*r, minor, &path, size, buffer.Bytes());
    result.irpStatus = sent.status;
    result.status = sent.status;
    result.information = sent.information;
    if (NT_SUCCESS(sent.status) && (header->Flags & WNODE_FLAG_TOO_SMALL)) {
        result.status = STATUS_BUFFER_TOO_SMALL;
        result.sizeNeeded = reinterpret_cast<PWNODE_TOO_SMALL>(header)->SizeNeeded;
        result.dataSizeNeeded = result.sizeNeeded > dataOffset ? result.sizeNeeded - dataOffset : 0;
    }
    return result;
}

}  // namespace

WmiResult WmiQueryAllData(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataRoom, ULONG expectedInstances)
{
    ULONG offset = Align8((ULONG)offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                          expectedInstances * sizeof(OFFSETINSTANCEDATAANDLENGTH));
    ULONG size = offset + dataRoom;
    WnodeBuffer buffer(size);
    buffer.Header()->Flags = WNODE_FLAG_ALL_DATA;
    WmiResult result = Exchange(provider, IRP_MN_QUERY_ALL_DATA, guid, buffer, size, offset);
    if (result.status != STATUS_SUCCESS) return result;
    auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer.Bytes());
    for (ULONG i = 0; i < wnode->InstanceCount && i < expectedInstances; i++) {
        const auto& e = wnode->OffsetInstanceDataAndLength[i];
        if (e.OffsetInstanceData + e.LengthInstanceData > size) break;
        PUCHAR p = buffer.Bytes() + e.OffsetInstanceData;
        result.instances.emplace_back(p, p + e.LengthInstanceData);
    }
    return result;
}

namespace {

// A WNODE of type W (static instance names, by index) with one data block at its
// aligned end: `data` is copied there, `room` bytes are available for the answer.
template <typename W>
struct DataWnode {
    ULONG offset = Align8((ULONG)offsetof(W, VariableData));
    ULONG room;
    WnodeBuffer buffer;
    W* wnode;
    DataWnode(ULONG flag, ULONG instanceIndex, const std::vector<uint8_t>& data, ULONG answerRoom)
        : room(answerRoom > data.size() ? answerRoom : (ULONG)data.size()),
          buffer(offset + room),
          wnode(reinterpret_cast<W*>(buffer.Bytes()))
    {
        wnode->WnodeHeader.Flags = flag | WNODE_FLAG_STATIC_INSTANCE_NAMES;
        wnode->InstanceIndex = instanceIndex;
        wnode->DataBlockOffset = offset;
        if (!data.empty()) memcpy(buffer.Bytes() + offset, data.data(), data.size());
    }
    WmiResult Send(PDEVICE_OBJECT provider, UCHAR minor, const GUID& guid)
    {
        return Exchange(provider, minor, guid, buffer, offset + room, offset);
    }
    // The data block the provider returned (its size in `returned`).
    void Keep(WmiResult& result, ULONG returned)
    {
        if (result.status == STATUS_SUCCESS && returned <= room)
            result.instances.emplace_back(buffer.Bytes() + offset, buffer.Bytes() + offset + returned);
    }
};

}  // namespace

WmiResult WmiQuerySingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG dataRoom)
{
    DataWnode<WNODE_SINGLE_INSTANCE> w(WNODE_FLAG_SINGLE_INSTANCE, instanceIndex, {}, dataRoom);
    WmiResult result = w.Send(provider, IRP_MN_QUERY_SINGLE_INSTANCE, guid);
    w.Keep(result, w.wnode->SizeDataBlock);
    return result;
}

WmiResult WmiSetSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                               const std::vector<uint8_t>& data)
{
    DataWnode<WNODE_SINGLE_INSTANCE> w(WNODE_FLAG_SINGLE_INSTANCE, instanceIndex, data, 0);
    w.wnode->SizeDataBlock = (ULONG)data.size();
    return w.Send(provider, IRP_MN_CHANGE_SINGLE_INSTANCE, guid);
}

WmiResult WmiSetSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG itemId,
                           const std::vector<uint8_t>& data)
{
    DataWnode<WNODE_SINGLE_ITEM> w(WNODE_FLAG_SINGLE_ITEM, instanceIndex, data, 0);
    w.wnode->ItemId = itemId;
    w.wnode->SizeDataItem = (ULONG)data.size();
    return w.Send(provider, IRP_MN_CHANGE_SINGLE_ITEM, guid);
}

WmiResult WmiExecuteMethod(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG methodId,
                           const std::vector<uint8_t>& in, ULONG outRoom)
{
    DataWnode<WNODE_METHOD_ITEM> w(WNODE_FLAG_METHOD_ITEM, instanceIndex, in, outRoom);
    w.wnode->MethodId = methodId;
    w.wnode->SizeDataBlock = (ULONG)in.size();
    WmiResult result = w.Send(provider, IRP_MN_EXECUTE_METHOD, guid);
    w.Keep(result, w.wnode->SizeDataBlock);
    return result;
}

WmiResult WmiSendControl(PDEVICE_OBJECT provider, UCHAR minor, const GUID& guid)
{
    WnodeBuffer buffer(sizeof(WNODE_HEADER));
    buffer.Header()->HistoricalContext = TraceSessionHandle();
    return Exchange(provider, minor, guid, buffer, sizeof(WNODE_HEADER), sizeof(WNODE_HEADER));
}

std::string GuidText(const GUID& g)
{
    char buf[40];
    snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

}  // namespace kwsim
