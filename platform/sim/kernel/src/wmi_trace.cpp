// Software tracing: one trace session per boot that enables providers by control GUID
// and collects the messages they send with WmiTraceMessage.
#include <cstdarg>
#include <cstring>

#include "wmi_internal.h"

namespace kwsim::detail {
namespace {
const TRACEHANDLE kSession = 0x5E55100000000001ull;

void Tell(const GUID& guid, bool enable)
{
    std::vector<WmiRegistration> providers;
    {
        std::lock_guard<std::mutex> lk(WMI.mu);
        providers = WMI.providers;
    }
    for (auto& r : providers) {
        WmiRegInfo info = QueryRegInfo(r, false);
        for (auto& g : info.guids)
            if (SameGuid(g.guid, guid)) {
                SendTraceControl(r, guid, enable);
                break;
            }
    }
}
}  // namespace
}  // namespace kwsim::detail

using namespace kwsim;
using namespace kwsim::detail;

namespace kwsim {

TRACEHANDLE TraceSessionHandle() { return kSession; }

void TraceEnable(const GUID& guid, ULONG flags, UCHAR level)
{
    {
        std::lock_guard<std::mutex> lk(WMI.mu);
        std::erase_if(WMI.enabled, [&](auto& e) { return SameGuid(e.first, guid); });
        WMI.enabled.push_back({guid, {flags, level}});
    }
    Tell(guid, true);
}

void TraceDisable(const GUID& guid)
{
    {
        std::lock_guard<std::mutex> lk(WMI.mu);
        std::erase_if(WMI.enabled, [&](auto& e) { return SameGuid(e.first, guid); });
    }
    Tell(guid, false);
}

std::vector<TraceMessage> TraceMessages()
{
    std::lock_guard<std::mutex> lk(WMI.mu);
    return WMI.messages;
}

void ClearTraceMessages()
{
    std::lock_guard<std::mutex> lk(WMI.mu);
    WMI.messages.clear();
}

std::string TraceMessage::Text() const
{
    if (arguments.empty()) return "";
    const auto& a = arguments[0];
    std::string s(a.begin(), a.end());
    if (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

}  // namespace kwsim

extern "C" NTSTATUS WmiTraceMessage(TRACEHANDLE logger, ULONG flags, LPCGUID guid, USHORT number, ...)
{
    if (Current()->irql > DISPATCH_LEVEL) Verify("WmiTraceMessage above DISPATCH_LEVEL");
    if (logger != kSession || !guid) return STATUS_INVALID_HANDLE;
    TraceMessage m{logger, *guid, number, flags, {}};
    va_list args;
    va_start(args, number);
    for (;;) {
        void* data = va_arg(args, void*);
        if (!data) break;
        size_t length = va_arg(args, size_t);
        auto* p = static_cast<const uint8_t*>(data);
        m.arguments.emplace_back(p, p + length);
    }
    va_end(args);
    std::lock_guard<std::mutex> lk(WMI.mu);
    WMI.messages.push_back(std::move(m));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WmiQueryTraceInformation(TRACE_INFORMATION_CLASS what, PVOID information, ULONG length,
                                             PULONG required, PVOID buffer)
{
    auto* header = static_cast<PWNODE_HEADER>(buffer);
    if (!header || header->HistoricalContext != kSession) return STATUS_INVALID_HANDLE;
    std::lock_guard<std::mutex> lk(WMI.mu);
    for (auto& [guid, state] : WMI.enabled) {
        if (!SameGuid(guid, header->Guid)) continue;
        switch (what) {
        case TraceEnableFlagsClass:
            if (required) *required = sizeof(ULONG);
            if (length < sizeof(ULONG)) return STATUS_INFO_LENGTH_MISMATCH;
            memcpy(information, &state.flags, sizeof(ULONG));
            return STATUS_SUCCESS;
        case TraceEnableLevelClass:
            if (required) *required = sizeof(UCHAR);
            if (length < sizeof(UCHAR)) return STATUS_INFO_LENGTH_MISMATCH;
            *static_cast<UCHAR*>(information) = state.level;
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_INFO_CLASS;
        }
    }
    return STATUS_WMI_INSTANCE_NOT_FOUND;
}
