// The simulated WMI service seen from tests: a consumer that sends IRP_MJ_SYSTEM_CONTROL
// requests to registered providers, and a trace session that enables software-trace
// providers and collects their messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kwplat/wmi.h"
#include "simkernel/sim.h"

namespace kwsim {

// ---- data providers ----
// Providers registered with IoWMIRegistrationControl (device objects; callback
// registrations appear with their block address), in registration order.
std::vector<PDEVICE_OBJECT> WmiProviders();
bool WmiIsRegistered(PDEVICE_OBJECT provider);

struct WmiGuidInfo {
    GUID guid;
    ULONG flags;
    ULONG instanceCount;
    ULONG_PTR pdo;  // for WMIREG_FLAG_INSTANCE_PDO
};
struct WmiRegInfo {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::u16string registryPath;
    std::u16string mofResourceName;
    std::vector<WmiGuidInfo> guids;
};
// IRP_MN_REGINFO (or IRP_MN_REGINFO_EX) to the provider, as the WMI service asks it
// after registration. A provider that answers STATUS_BUFFER_TOO_SMALL with the size it
// needs is asked again with that size.
WmiRegInfo WmiQueryRegInfo(PDEVICE_OBJECT provider, bool ex = false);

struct WmiResult {
    // What the consumer learns: STATUS_BUFFER_TOO_SMALL when the provider answered with
    // a WNODE_TOO_SMALL, otherwise the status of the request.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;   // the IRP's own final status
    ULONG_PTR information = 0;
    ULONG sizeNeeded = 0;        // WNODE_TOO_SMALL: the whole WNODE the provider needs
    ULONG dataSizeNeeded = 0;    // WNODE_TOO_SMALL: of that, the data (needed size less the header)
    std::vector<std::vector<uint8_t>> instances;  // the data of each instance returned
};
// Query all data: `dataRoom` is the room for instance data after the WNODE_ALL_DATA
// header and its offset/length table (for `expectedInstances` instances).
WmiResult WmiQueryAllData(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataRoom, ULONG expectedInstances = 1);
// Query single instance (static instance names, by index) with `dataRoom` bytes for data.
WmiResult WmiQuerySingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG dataRoom);
WmiResult WmiSetSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                               const std::vector<uint8_t>& data);
WmiResult WmiSetSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG itemId,
                           const std::vector<uint8_t>& data);
// Execute method: the input is placed at the data offset; `outRoom` bytes are available
// for the output (at least the input's size).
WmiResult WmiExecuteMethod(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG methodId,
                           const std::vector<uint8_t>& in, ULONG outRoom);
// Any other minor function (enable/disable events, ...) for a GUID, with a bare
// WNODE_HEADER as its buffer.
WmiResult WmiSendControl(PDEVICE_OBJECT provider, UCHAR minor, const GUID& guid);

// ---- software tracing ----
// Enables the trace provider whose control GUID is `guid` for a trace session (one
// session per boot): providers already registered are told at once, later ones when
// they register. Flags and level are what WmiQueryTraceInformation reports.
void TraceEnable(const GUID& guid, ULONG flags, UCHAR level = 4);
void TraceDisable(const GUID& guid);
TRACEHANDLE TraceSessionHandle();

struct TraceMessage {
    TRACEHANDLE logger;
    GUID messageGuid;
    USHORT number;
    ULONG flags;
    std::vector<std::vector<uint8_t>> arguments;
    std::string Text() const;  // the first argument as a string (without its terminator)
};
std::vector<TraceMessage> TraceMessages();
void ClearTraceMessages();

std::string GuidText(const GUID& guid);  // "{XXXXXXXX-...}"

}  // namespace kwsim
