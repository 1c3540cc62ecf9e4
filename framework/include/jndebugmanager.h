// CJnDebugManager: the driver's trace facility (one per driver, created first in
// DriverEntry and destroyed last at unload). Every trace names a channel 0..56; a
// channel is one flag bit of one of the eight trace providers, and a message goes out
// only while a trace session has enabled that flag. It also registers the driver as an
// event-log source while it is loaded and reads the diagnostic registry values.
#pragma once

#include <stdarg.h>

#include "jnstring.h"

// "ASSERT at - <path> <line>": printed for a programming error; execution continues.
void JnAssertPrint(const char* sourcePath, int line);

class CJnDebugManager : public CJnObject {
public:
    static constexpr ULONG kMaxText = 250;        // formatted message, terminator included
    static constexpr ULONG kDumpLine = 102;       // hex-dump line, terminator included
    static constexpr USHORT kFirstMessage = 10;   // message number of channel 0
    static constexpr USHORT kDumpTimeMessage = 65;
    static constexpr ULONG kDumpTimeFlag = 0x400; // of provider 0

    CJnDebugManager(PDRIVER_OBJECT driverObject, PCWSTR serviceName, PCUNICODE_STRING registryPath, bool& success);
    ~CJnDebugManager();

    // The driver's debug manager, or null (framework code then does not trace).
    static CJnDebugManager* sm_Get() { return sm_pInstance; }

    void m_Trace(ULONG channel, const char* format, ...);
    void m_TraceV(ULONG channel, const char* format, va_list args);
    // Hex dump with a leading text ("Write - 0x..") and, for the bus driver's transport,
    // without one ("0x..").
    void m_HexDump(ULONG channel, const char* text, const UCHAR* data, ULONG length);
    void m_HexDump(ULONG channel, const UCHAR* data, ULONG length);
    // A second, text-only trace entry; it produces no output in these builds.
    void m_TextTrace(const char*) {}

    static const char* sm_PnpMinorName(UCHAR minor);
    static const char* sm_PowerMinorName(UCHAR minor);
    static const char* sm_InternalUsbIoctlName(ULONG code);
    static const char* sm_StatusName(NTSTATUS status);

    // Channel to provider and flag (55 and 56 count as 17); false for a channel past 56.
    static bool sm_ChannelFlag(ULONG channel, ULONG& provider, ULONG& flag);
    bool m_IsEnabled(ULONG channel) const;

    ULONG m_LogLevel() const { return m_ulLogLevel; }
    // Message codes LogLevel lets through (first > last: none).
    void m_LogCodeRange(ULONG& first, ULONG& last) const;
    ULONG m_DebugMaskValue() const { return m_DebugMask; }
    ULONG m_OperatorDebugMaskValue() const { return m_OperatorDebugMask; }

private:
    void m_Dump(ULONG channel, const char* text, const UCHAR* data, ULONG length);
    bool m_CreateEventSource();
    NTSTATUS m_EventSourcePath(CJnString& path);

    static CJnDebugManager* sm_pInstance;

    CJnString m_RegistryPath;
    CJnString m_ServiceName;
    PDRIVER_OBJECT m_pDriverObject;
    ULONG m_DebugMask;
    ULONG m_OperatorDebugMask;
    bool m_bSuccess;
    ULONG m_ulLogLevel;
};

// Trace through the driver's debug manager, if there is one.
void JnTrace(ULONG channel, const char* format, ...);
void JnTextTrace(const char* text);
