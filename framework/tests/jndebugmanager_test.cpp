// The debug manager: channels and providers, the 250-character rule, both hex-dump
// layouts, the dump timing message, name tables, diagnostic registry values.
#include <string>
#include <vector>

#include "jndebugmanager.h"
#include "jnpooledtest.h"
#include "jntracecontrol.h"
#include "simkernel/registry.h"
#include "simkernel/wmi.h"

namespace kwsim::test {
namespace {

const char16_t kService[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\JnDebugTest";
const char16_t kEventSource[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\JnDebugTest";

class DebugManagerTest : public PooledTest {
protected:
    void SetUp() override
    {
        PooledTest::SetUp();
        ASSERT_EQ(GetRegistry().CreatePath(kService, &service), STATUS_SUCCESS);
        ASSERT_EQ(CJnTraceControl::sm_Register(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        delete manager;
        CJnTraceControl::sm_Deregister();
        CJnTraceControl::sm_Reset();
        PooledTest::TearDown();
    }
    CJnDebugManager* Create()
    {
        RtlInitUnicodeString(&path, reinterpret_cast<PCWSTR>(kService));
        bool ok = false;
        manager = new CJnDebugManager(nullptr, KW_W("JnDebugTest"), &path, ok);
        EXPECT_TRUE(ok);
        return manager;
    }
    void SetDword(const char16_t* name, ULONG value) { GetRegistry().SetValue(service, name, REG_DWORD, &value, 4); }
    ULONG GetDword(const char16_t* name)
    {
        RegValue v;
        EXPECT_EQ(GetRegistry().QueryValue(service, name, &v), STATUS_SUCCESS) << "no value";
        ULONG d = 0;
        memcpy(&d, v.data.data(), 4);
        return d;
    }
    static std::vector<std::string> Texts()
    {
        std::vector<std::string> t;
        for (auto& m : TraceMessages()) t.push_back(m.Text());
        return t;
    }

    RegKey service;
    UNICODE_STRING path{};
    CJnDebugManager* manager = nullptr;
};

TEST_F(DebugManagerTest, EachChannelIsOneFlagOfOneProvider)
{
    Create();
    struct Case {
        ULONG channel;
        ULONG provider;
        ULONG flag;
        USHORT number;
    } cases[] = {
        {0, 0, 0x1, 10},         {1, 1, 0x1, 11},         {2, 1, 0x2, 12},          {3, 2, 0x1, 13},
        {6, 3, 0x2, 16},         {7, 4, 0x1, 17},         {30, 4, 1u << 23, 40},    {31, 5, 0x1, 41},
        {34, 5, 0x8, 44},        {35, 6, 0x1, 45},        {38, 6, 0x8, 48},         {39, 7, 0x1, 49},
        {54, 7, 1u << 15, 64},   {55, 4, 1u << 10, 27},   {56, 4, 1u << 10, 27},
    };
    for (const Case& c : cases) {
        const GUID& guid = CJnTraceControl::sm_ProviderGuid(c.provider);
        // Every other flag of the provider: nothing.
        TraceEnable(guid, ~c.flag);
        ClearTraceMessages();
        manager->m_Trace(c.channel, "channel %lu", c.channel);
        EXPECT_TRUE(TraceMessages().empty()) << c.channel;
        TraceEnable(guid, c.flag);
        manager->m_Trace(c.channel, "channel %lu", c.channel);
        auto m = TraceMessages();
        ASSERT_EQ(m.size(), 1u) << c.channel;
        EXPECT_EQ(m[0].number, c.number) << c.channel;
        EXPECT_EQ(GuidText(m[0].messageGuid), GuidText(guid)) << c.channel;
        EXPECT_EQ(m[0].Text(), "channel " + std::to_string(c.channel));
        TraceDisable(guid);
    }
    manager->m_Trace(57, "no such channel");
    JnTrace(57, "nor here");
    EXPECT_TRUE(TraceMessages().size() == 1);
}

TEST_F(DebugManagerTest, FormatsLongerThan250AreRefusedAndLongResultsCut)
{
    Create();
    TraceEnable(CJnTraceControl::sm_ProviderGuid(4), 0x1);  // channel 7
    ClearTraceMessages();
    ClearDebugOutput();
    std::string longFormat(260, 'f');
    manager->m_Trace(7, longFormat.c_str());
    EXPECT_TRUE(TraceMessages().empty());
    EXPECT_NE(DebugOutput().find("ASSERT at - framework\\src\\jndebugmanager "), std::string::npos) << DebugOutput();

    std::string longArgument(300, 'a');
    manager->m_Trace(7, "%s", longArgument.c_str());
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0], std::string(249, 'a'));
    ClearTraceMessages();
    std::string exactly250(250, 'e');
    manager->m_Trace(7, exactly250.c_str());
    ASSERT_EQ(Texts().size(), 1u) << "a format of 250 characters is used";
    EXPECT_EQ(Texts()[0].size(), 249u);
}

std::string Hex(int from, int to, bool lastSpace = true)
{
    std::string s;
    char b[4];
    for (int i = from; i < to; i++) {
        snprintf(b, sizeof b, "%02X", i);
        s += b;
        if (i + 1 < to || lastSpace) s += ' ';
    }
    return s;
}

TEST_F(DebugManagerTest, HexDumpLinesWithAndWithoutText)
{
    Create();
    TraceEnable(CJnTraceControl::sm_ProviderGuid(4), 0x1);
    std::vector<UCHAR> data(100);
    for (int i = 0; i < 100; i++) data[i] = (UCHAR)i;

    ClearTraceMessages();
    manager->m_HexDump(7, "Write", data.data(), 40);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Write - 0x" + Hex(0, 30), Hex(30, 40)}));
    for (auto& m : TraceMessages()) EXPECT_EQ(m.number, 17);

    ClearTraceMessages();
    manager->m_HexDump(7, data.data(), 100);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"0x" + Hex(0, 33, false), Hex(33, 66), Hex(66, 99), Hex(99, 100)}));

    // Not enabled: nothing is built.
    ClearTraceMessages();
    manager->m_HexDump(8, "Read", data.data(), 10);
    EXPECT_TRUE(TraceMessages().empty());

    // Flag 0x400 of the first provider adds the time the dump took (in microseconds).
    TraceEnable(CJnTraceControl::sm_ProviderGuid(0), 0x400);
    manager->m_HexDump(7, "Read Processed", data.data(), 3);
    auto m = TraceMessages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].Text(), "Read Processed - 0x00 01 02 ");
    EXPECT_EQ(m[1].number, 65);
    EXPECT_EQ(GuidText(m[1].messageGuid), GuidText(CJnTraceControl::sm_ProviderGuid(0)));
    ASSERT_EQ(m[1].arguments.at(0).size(), 4u);
}

TEST_F(DebugManagerTest, NameTables)
{
    struct {
        const char* got;
        const char* want;
    } cases[] = {
        {CJnDebugManager::sm_PnpMinorName(0x00), "IRP_MN_START_DEVICE"},
        {CJnDebugManager::sm_PnpMinorName(0x0D), "IRP_MN_FILTER_RESOURCE_REQUIREMENTS"},
        {CJnDebugManager::sm_PnpMinorName(0x0E), "IRP_MN_?????"},
        {CJnDebugManager::sm_PnpMinorName(0x0F), "IRP_MN_READ_CONFIG"},
        {CJnDebugManager::sm_PnpMinorName(0x17), "IRP_MN_SURPRISE_REMOVAL"},
        {CJnDebugManager::sm_PnpMinorName(0x18), "IRP_MN_?????"},
        {CJnDebugManager::sm_PowerMinorName(2), "IRP_MN_SET_POWER"},
        {CJnDebugManager::sm_PowerMinorName(4), "IRP_MN_?????"},
        {CJnDebugManager::sm_InternalUsbIoctlName(0x220003), "IOCTL_INTERNAL_USB_SUBMIT_URB"},
        {CJnDebugManager::sm_InternalUsbIoctlName(0x220017), "IOCTL_INTERNAL_USB_ENABLE_PORT (obsolete)"},
        {CJnDebugManager::sm_InternalUsbIoctlName(0x22042C), "IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO"},
        {CJnDebugManager::sm_InternalUsbIoctlName(0x220420), "IOCTL_INTERNAL_USB_GET_BUS_INFO (obsolete)"},
        {CJnDebugManager::sm_InternalUsbIoctlName(0x220004), "IOCTL_?????"},
        {CJnDebugManager::sm_StatusName(STATUS_PENDING), "STATUS_PENDING"},
        {CJnDebugManager::sm_StatusName(STATUS_UNSUCCESSFUL), "STATUS_UNSUCCESSFUL"},
        {CJnDebugManager::sm_StatusName(STATUS_CANCELLED), "STATUS_?????"},
    };
    for (auto& c : cases) EXPECT_STREQ(c.got, c.want);
}

TEST_F(DebugManagerTest, DiagnosticValuesAndTheEventSource)
{
    SetDword(u"LogLevel", 2);
    SetDword(u"DebugMask", 0x55);
    SetDword(u"OperatorDebugMask", 0x0F);
    Create();
    EXPECT_EQ(manager->m_LogLevel(), 2u);
    ULONG first, last;
    manager->m_LogCodeRange(first, last);
    EXPECT_EQ(first, 1024u);
    EXPECT_EQ(last, 2815u);
    EXPECT_EQ(manager->m_DebugMaskValue(), 0x55u);
    EXPECT_EQ(manager->m_OperatorDebugMaskValue(), 0x0Fu);
    EXPECT_EQ(CJnDebugManager::sm_Get(), manager);
    RegKey source;
    EXPECT_EQ(GetRegistry().Open(nullptr, kEventSource, &source), STATUS_SUCCESS);
    delete manager;
    manager = nullptr;
    EXPECT_EQ(CJnDebugManager::sm_Get(), nullptr);
    EXPECT_EQ(GetRegistry().Open(nullptr, kEventSource, &source), STATUS_OBJECT_NAME_NOT_FOUND);

    // A LogLevel of the wrong type counts as missing: 1, written back.
    GetRegistry().SetValue(service, u"LogLevel", REG_SZ, u"3", 4);
    Create();
    EXPECT_EQ(GetDword(u"LogLevel"), 1u);
}

TEST_F(DebugManagerTest, WithoutTheEventLogCreationFails)
{
    RegKey system;
    ASSERT_EQ(GetRegistry().Open(nullptr, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System",
                                 &system),
              STATUS_SUCCESS);
    ASSERT_EQ(GetRegistry().Delete(system), STATUS_SUCCESS);
    RtlInitUnicodeString(&path, reinterpret_cast<PCWSTR>(kService));
    bool ok = true;
    CJnDebugManager* failed = new CJnDebugManager(nullptr, KW_W("JnDebugTest"), &path, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(CJnDebugManager::sm_Get(), nullptr);
    delete failed;
}

}  // namespace
}  // namespace kwsim::test
