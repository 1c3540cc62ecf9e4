// Internal state of the simulated WMI service (its own lock; never held while a driver
// is called).
#pragma once

#include <map>
#include <mutex>

#include "io_internal.h"
#include "simkernel/wmi.h"

namespace kwsim::detail {

struct WmiRegistration {
    PDEVICE_OBJECT object;  // device object, or the block of a callback registration
    bool callback;
};

struct TraceEnableState {
    ULONG flags;
    UCHAR level;
};

struct WmiState {
    std::mutex mu;
    std::vector<WmiRegistration> providers;
    std::vector<std::pair<GUID, TraceEnableState>> enabled;
    std::vector<TraceMessage> messages;
};

extern WmiState WMI;

bool SameGuid(const GUID& a, const GUID& b);
// Asks one provider for its registration information.
WmiRegInfo QueryRegInfo(const WmiRegistration& r, bool ex);
// Tells one provider of an enable (true) or disable of a trace control GUID.
void SendTraceControl(const WmiRegistration& r, const GUID& guid, bool enable);

void CollectWmiLeaks(std::vector<std::string>& out);
void ResetWmi();

}  // namespace kwsim::detail
