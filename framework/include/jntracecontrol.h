// The software-trace back end of the framework: eight trace providers, each enabled by a
// trace session with a set of flag bits (and a level); a message goes to the session's
// logger only while its flag is enabled.
//
// From WDM 1.20 on the providers are registered with WMI once per driver as a callback
// (CJnTraceControl::sm_Register); before that they are part of each functional device's
// WMI registration (CWmi), whose unanswered requests reach sm_ControlIrp.
#pragma once

#include "kwplat/wmi.h"

class CJnTraceControl {
public:
    static constexpr ULONG kProviderCount = 8;

    static const GUID& sm_ProviderGuid(ULONG provider);
    static bool sm_IsEnabled(ULONG provider, ULONG flag);
    // Sends one message with one argument to the provider's logger (if enabled for flag).
    static void sm_Send(ULONG provider, ULONG flag, USHORT messageNumber, const void* argument, SIZE_T length);

    static NTSTATUS sm_Register();
    static void sm_Deregister();
    static bool sm_IsRegistered();

    // An IRP_MJ_SYSTEM_CONTROL request the WMI library left to the driver: enable and
    // disable requests for a trace provider are handled (STATUS_SUCCESS); for anything
    // else the IRP's status is returned unchanged.
    static NTSTATUS sm_ControlIrp(PIRP irp);
    // Enable or disable of one provider from the WNODE_HEADER of the request.
    static NTSTATUS sm_Control(UCHAR minor, PWNODE_HEADER header);
    // Forgets every enable (the driver unloads).
    static void sm_Reset();
};
