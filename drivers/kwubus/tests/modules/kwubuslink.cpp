// KwUBusLink: a native image that links the bus driver's channel engine, its USB
// transport and the framework's USB library (not shipped; KwUBus36 is assembled around
// them later). It proves every kernel, HAL and USBD routine they call resolves against
// the Windows import libraries. It loads nothing and does nothing.
#include "kwubuschannel.h"

namespace {
// Reached from DriverEntry, so the linker keeps the whole engine.
NTSTATUS (*volatile g_CreateChannel)(CKwUsbBusDevice*, ULONG, const KW_BUS_CHANNEL_PARAMETERS*, CFTDI1Port**,
                                     ISerial**) = KwUBusCreateChannel;
}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return g_CreateChannel ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}
