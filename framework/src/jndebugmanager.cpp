#include "jndebugmanager.h"
#include "jnregistry.h"
#include "jntracecontrol.h"

namespace {

const char kSourcePath[] = "framework\\src\\jndebugmanager";

const char* const kPnpNames[] = {
    "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT", "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    nullptr, "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
};
const char* const kPowerNames[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER"};
const char kUnknownMinor[] = "IRP_MN_?????";

// The internal USB device-control codes (FILE_DEVICE_USB, METHOD_NEITHER) by function.
struct CodeName {
    ULONG code;
    const char* name;
};
constexpr ULONG kNeither = 3, kBuffered = 0;
constexpr ULONG UsbCode(ULONG function, ULONG method = kNeither) { return (0x22u << 16) | (function << 2) | method; }
const CodeName kUsbIoctls[] = {
    {UsbCode(0), "IOCTL_INTERNAL_USB_SUBMIT_URB"},
    {UsbCode(1), "IOCTL_INTERNAL_USB_RESET_PORT"},
    {UsbCode(3), "IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO"},
    {UsbCode(4), "IOCTL_INTERNAL_USB_GET_PORT_STATUS"},
    {UsbCode(5), "IOCTL_INTERNAL_USB_ENABLE_PORT (obsolete)"},
    {UsbCode(6), "IOCTL_INTERNAL_USB_GET_HUB_COUNT"},
    {UsbCode(7), "IOCTL_INTERNAL_USB_CYCLE_PORT"},
    {UsbCode(8, kBuffered), "IOCTL_INTERNAL_USB_GET_HUB_NAME"},
    {UsbCode(264, kBuffered), "IOCTL_INTERNAL_USB_GET_BUS_INFO (obsolete)"},
    {UsbCode(265, kBuffered), "IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME"},
    {UsbCode(266, kBuffered), "IOCTL_INTERNAL_USB_GET_BUSGUID_INFO"},
    {UsbCode(267, kBuffered), "IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO"},
};
const CodeName kStatuses[] = {
    {0, "STATUS_SUCCESS"},          {1, "STATUS_WAIT_1"},     {2, "STATUS_WAIT_2"},
    {3, "STATUS_WAIT_3"},           {0x101, "STATUS_ALERTED"}, {0x102, "STATUS_TIMEOUT"},
    {0x103, "STATUS_PENDING"},      {0xC0000001, "STATUS_UNSUCCESSFUL"},
};

const WCHAR kEventLogKey[] = KW_W("EventLog\\System\\");

// Reads a DWORD that may be absent (or of another type): then `value` is the default. A
// failure of any other kind (no memory) is a failure.
bool ReadOptional(PCUNICODE_STRING path, PCWSTR name, ULONG& value, ULONG fallback, bool& present)
{
    NTSTATUS status = JnRegistryReadDwordAt(path, name, &value);
    present = NT_SUCCESS(status);
    if (present) return true;
    value = fallback;
    return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_TYPE_MISMATCH;
}

}  // namespace

CJnDebugManager* CJnDebugManager::sm_pInstance;

void JnAssertPrint(const char* sourcePath, int line) { DbgPrint("ASSERT at - %s %d\n", sourcePath, line); }

CJnDebugManager::CJnDebugManager(PDRIVER_OBJECT driverObject, PCWSTR serviceName, PCUNICODE_STRING registryPath,
                                 bool& success)
    : m_pDriverObject(driverObject), m_DebugMask(0), m_OperatorDebugMask(0), m_bSuccess(false), m_ulLogLevel(1)
{
    success = false;
    // LogLevel must be 0 to 3; anything else (or nothing) becomes 1, also in the registry.
    ULONG level;
    bool present;
    if (!ReadOptional(registryPath, KW_W("LogLevel"), level, 1, present)) return;
    if (!present || level > 3) {
        level = 1;
        if (!NT_SUCCESS(JnRegistryWriteDword(registryPath, KW_W("LogLevel"), level))) return;
    }
    m_ulLogLevel = level;
    if (!NT_SUCCESS(m_RegistryPath.m_Copy(registryPath)) || !NT_SUCCESS(m_ServiceName.m_Copy(serviceName))) return;
    if (!m_CreateEventSource()) return;
    if (!ReadOptional(registryPath, KW_W("DebugMask"), m_DebugMask, 0, present) ||
        !ReadOptional(registryPath, KW_W("OperatorDebugMask"), m_OperatorDebugMask, 0, present))
        return;
    m_bSuccess = true;
    success = true;
    sm_pInstance = this;
}

CJnDebugManager::~CJnDebugManager()
{
    if (sm_pInstance == this) sm_pInstance = nullptr;
    // The event source exists only while the driver is loaded.
    CJnString path;
    if (m_ServiceName.m_IsEmpty() || !NT_SUCCESS(m_EventSourcePath(path))) return;
    UNICODE_STRING prefix;
    RtlInitUnicodeString(&prefix, KW_W("\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\"));
    CJnString absolute;
    if (!NT_SUCCESS(absolute.m_Copy(&prefix)) || !NT_SUCCESS(absolute.m_Append(m_ServiceName.m_Get()))) return;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, absolute.m_Get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
        ZwDeleteKey(key);
        ZwClose(key);
    }
}

NTSTATUS CJnDebugManager::m_EventSourcePath(CJnString& path)
{
    NTSTATUS status = path.m_Copy(kEventLogKey);
    if (NT_SUCCESS(status)) status = path.m_Append(m_ServiceName.m_Get());
    return status;
}

bool CJnDebugManager::m_CreateEventSource()
{
    CJnString relative, absolute, messageFile;
    if (!NT_SUCCESS(m_EventSourcePath(relative))) return false;
    HANDLE key;
    if (!NT_SUCCESS(JnRegistryCreateKey(relative.m_Get(), &key))) return false;
    ZwClose(key);
    if (!NT_SUCCESS(JnRegistryMakeAbsolute(RTL_REGISTRY_SERVICES, relative.m_Get(), absolute))) return false;
    NTSTATUS status = messageFile.m_Copy(KW_W("%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\"));
    if (NT_SUCCESS(status)) status = messageFile.m_Append(m_ServiceName.m_Get());
    if (NT_SUCCESS(status)) status = messageFile.m_Append(KW_W(".sys"));
    if (NT_SUCCESS(status))
        status = JnRegistryWriteString(absolute.m_Get(), KW_W("EventMessageFile"), REG_EXPAND_SZ, messageFile.m_Get());
    if (NT_SUCCESS(status)) status = JnRegistryWriteDword(absolute.m_Get(), KW_W("TypesSupported"), 7);
    return NT_SUCCESS(status);
}

void CJnDebugManager::m_LogCodeRange(ULONG& first, ULONG& last) const
{
    switch (m_ulLogLevel) {
    case 1: first = 2048; last = 2815; break;
    case 2: first = 1024; last = 2815; break;
    case 3: first = 1; last = 2815; break;
    default: first = 1; last = 0; break;
    }
}

bool CJnDebugManager::sm_ChannelFlag(ULONG channel, ULONG& provider, ULONG& flag)
{
    if (channel == 55 || channel == 56) channel = 17;
    if (channel == 0) {
        provider = 0;
        flag = 1;
    } else if (channel <= 6) {
        provider = (channel + 1) / 2;
        flag = (channel & 1) ? 0x1 : 0x2;
    } else if (channel <= 30) {
        provider = 4;
        flag = 1u << (channel - 7);
    } else if (channel <= 34) {
        provider = 5;
        flag = 1u << (channel - 31);
    } else if (channel <= 38) {
        provider = 6;
        flag = 1u << (channel - 35);
    } else if (channel <= 54) {
        provider = 7;
        flag = 1u << (channel - 39);
    } else {
        return false;
    }
    return true;
}

bool CJnDebugManager::m_IsEnabled(ULONG channel) const
{
    ULONG provider, flag;
    return sm_ChannelFlag(channel, provider, flag) && CJnTraceControl::sm_IsEnabled(provider, flag);
}

void CJnDebugManager::m_Trace(ULONG channel, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    m_TraceV(channel, format, args);
    va_end(args);
}

void CJnDebugManager::m_TraceV(ULONG channel, const char* format, va_list args)
{
    ULONG provider, flag;
    if (!sm_ChannelFlag(channel, provider, flag) || !CJnTraceControl::sm_IsEnabled(provider, flag)) return;
    if (channel == 55 || channel == 56) channel = 17;
    SIZE_T formatLength = 0;
    while (format[formatLength]) formatLength++;
    if (formatLength > kMaxText) {
        JnAssertPrint(kSourcePath, __LINE__);
        return;
    }
    char text[kMaxText];
    if (_vsnprintf(text, kMaxText, format, args) < 0) text[kMaxText - 1] = 0;
    text[kMaxText - 1] = 0;
    SIZE_T length = 0;
    while (text[length]) length++;
    CJnTraceControl::sm_Send(provider, flag, (USHORT)(kFirstMessage + channel), text, length + 1);
}

void CJnDebugManager::m_HexDump(ULONG channel, const char* text, const UCHAR* data, ULONG length)
{
    if (!m_IsEnabled(channel)) return;
    LARGE_INTEGER start = KeQueryPerformanceCounter(nullptr);
    m_Dump(channel, text, data, length);
    LARGE_INTEGER end, frequency;
    end = KeQueryPerformanceCounter(&frequency);
    if (CJnTraceControl::sm_IsEnabled(0, kDumpTimeFlag) && frequency.QuadPart) {
        ULONG microseconds = (ULONG)((end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart);
        CJnTraceControl::sm_Send(0, kDumpTimeFlag, kDumpTimeMessage, &microseconds, sizeof microseconds);
    }
}

void CJnDebugManager::m_HexDump(ULONG channel, const UCHAR* data, ULONG length)
{
    if (!m_IsEnabled(channel)) return;
    m_Dump(channel, nullptr, data, length);
}

void CJnDebugManager::m_Dump(ULONG channel, const char* text, const UCHAR* data, ULONG length)
{
    static const char kHex[] = "0123456789ABCDEF";
    ULONG provider, flag;
    sm_ChannelFlag(channel, provider, flag);
    USHORT number = (USHORT)(kFirstMessage + (channel == 55 || channel == 56 ? 17 : channel));
    char line[kDumpLine];
    ULONG used = 0;
    // The first line starts with the text and " - 0x", or with "0x".
    const char* lead = text ? " - 0x" : "0x";
    bool overflow = false;
    const char* parts[2] = {text ? text : "", lead};
    for (const char* part : parts)
        for (const char* c = part; *c; c++) {
            if (used + 1 >= kDumpLine) {
                overflow = true;
                break;
            }
            line[used++] = *c;
        }
    ULONG next = 0;
    for (;;) {
        if (overflow) {
            // A line with no room for its terminator is not sent.
            JnAssertPrint(kSourcePath, __LINE__);
            overflow = false;
        } else {
            while (next < length && kDumpLine - used >= 4) {
                line[used++] = kHex[data[next] >> 4];
                line[used++] = kHex[data[next] & 0xF];
                next++;
                if (kDumpLine - used == 2) break;  // exactly 4 were left: no space, the line ends
                line[used++] = ' ';
            }
            line[used] = 0;
            CJnTraceControl::sm_Send(provider, flag, number, line, used + 1);
        }
        if (next >= length) return;
        used = 0;
    }
}

const char* CJnDebugManager::sm_PnpMinorName(UCHAR minor)
{
    if (minor < sizeof kPnpNames / sizeof kPnpNames[0] && kPnpNames[minor]) return kPnpNames[minor];
    return kUnknownMinor;
}

const char* CJnDebugManager::sm_PowerMinorName(UCHAR minor)
{
    return minor < sizeof kPowerNames / sizeof kPowerNames[0] ? kPowerNames[minor] : kUnknownMinor;
}

const char* CJnDebugManager::sm_InternalUsbIoctlName(ULONG code)
{
    for (const CodeName& c : kUsbIoctls)
        if (c.code == code) return c.name;
    return "IOCTL_?????";
}

const char* CJnDebugManager::sm_StatusName(NTSTATUS status)
{
    for (const CodeName& c : kStatuses)
        if (c.code == (ULONG)status) return c.name;
    return "STATUS_?????";
}

void JnTrace(ULONG channel, const char* format, ...)
{
    CJnDebugManager* manager = CJnDebugManager::sm_Get();
    if (!manager) return;
    va_list args;
    va_start(args, format);
    manager->m_TraceV(channel, format, args);
    va_end(args);
}

void JnTextTrace(const char* text)
{
    if (CJnDebugManager* manager = CJnDebugManager::sm_Get()) manager->m_TextTrace(text);
}
