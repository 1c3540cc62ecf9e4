// The serial port interface: the record a provider builds, its gates, the operation entry
// points and the callback rules of the bus side.
#include <functional>
#include <string>
#include <vector>

#include "jndatabuffer.h"
#include "jnpooledtest.h"
#include "kwiserial.h"

namespace kwsim::test {
namespace {

// A channel engine that records every operation with its arguments.
class RecordingProvider : public CISerialProvider {
public:
    struct Call {
        int operation;
        std::vector<uint64_t> args;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    BOOLEAN result = TRUE;

    BOOLEAN m_Init() override { return TRUE; }
    BOOLEAN m_DeInit() override { return TRUE; }

    ISerial* Create(BOOLEAN is422485 = 0, BOOLEAN ext = 0, BOOLEAN readEeprom = 0, BOOLEAN writeEeprom = 0)
    {
        return m_CreateInterface(KWISERIAL_INTERFACE_VERSION, is422485, -1, ext, readEeprom, writeEeprom, 1, 1, 1, 1, 1,
                                 1);
    }

    BOOLEAN m_ConnectCallback() override { return Record(0, {}); }
    BOOLEAN m_DisconnectCallback() override { return Record(1, {}); }
    BOOLEAN m_PortWriteCallback(CJnDataBuffer* b) override
    {
        uint64_t length = b->m_GetLength();
        b->m_Delete();
        return Record(2, {length});
    }
    BOOLEAN m_RtsCallback(BOOLEAN on) override { return Record(3, {on}); }
    BOOLEAN m_DtrCallback(BOOLEAN on) override { return Record(4, {on}); }
    BOOLEAN m_CommSettingsCallback(ULONG d, ULONG p, ULONG s) override { return Record(5, {d, p, s}); }
    BOOLEAN m_BaudrateCallback(ULONG rate) override { return Record(6, {rate}); }
    BOOLEAN m_TriggerLevelsCallback(UCHAR tx, UCHAR rx, UCHAR flow) override { return Record(7, {tx, rx, flow}); }
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN a, BOOLEAN b, BOOLEAN c, BOOLEAN d, BOOLEAN e, BOOLEAN f, BOOLEAN g,
                                          BOOLEAN h, BOOLEAN i, BOOLEAN j, BOOLEAN k, BOOLEAN l) override
    {
        return Record(8, {a, b, c, d, e, f, g, h, i, j, k, l});
    }
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN on) override { return Record(9, {on}); }
    BOOLEAN m_DuplexModeSettingsCallback(ULONG mode, BOOLEAN cts) override { return Record(10, {mode, cts}); }
    BOOLEAN m_ReadEepromCallback(ULONG offset, ULONG length, PUCHAR p) override
    {
        return Record(11, {offset, length, reinterpret_cast<uintptr_t>(p)});
    }
    BOOLEAN m_WriteEepromCallback(ULONG offset, ULONG length, PUCHAR p) override
    {
        return Record(12, {offset, length, reinterpret_cast<uintptr_t>(p)});
    }
    BOOLEAN m_SetBreakCallback(BOOLEAN on) override { return Record(13, {on}); }
    BOOLEAN m_PurgeCallback(BOOLEAN tx, BOOLEAN rx) override { return Record(14, {tx, rx}); }
    BOOLEAN m_IsBaudRateSettableCallback(ULONG rate) override { return Record(15, {rate}); }
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR brk, UCHAR eof, UCHAR err, UCHAR evt, UCHAR xon, UCHAR xoff) override
    {
        return Record(16, {brk, eof, err, evt, xon, xoff});
    }
    BOOLEAN m_LsrMstInsertCallback(UCHAR escape) override { return Record(17, {escape}); }
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN xoff) override { return Record(18, {xoff}); }
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR c) override { return Record(19, {c}); }
    BOOLEAN m_GetFifoSizesCallback(PULONG tx, PULONG rx) override
    {
        *tx = 4096;
        *rx = 512;
        return Record(20, {});
    }
    BOOLEAN m_UpdateModemStatusCallback() override { return Record(21, {}); }
    BOOLEAN m_SendXonXoffCallback(BOOLEAN xoff) override { return Record(22, {xoff}); }
    BOOLEAN m_GetMaximumBaudRateCallback(PULONG max) override
    {
        *max = 1000000;
        return Record(23, {});
    }

    // The bus side's callback calls, opened up for the tests.
    using CISerialProvider::m_CallAvailableReceiveBufferSize;
    using CISerialProvider::m_CallDataReceived;
    using CISerialProvider::m_CallDataWritten;
    using CISerialProvider::m_CallImmediateCharacterSent;
    using CISerialProvider::m_CallLineStatus;
    using CISerialProvider::m_CallModemStatus;
    using CISerialProvider::m_CallXoffSent;

private:
    BOOLEAN Record(int operation, std::vector<uint64_t> args)
    {
        calls.push_back({operation, std::move(args)});
        return result;
    }
};

// A provider that implements nothing beyond its life cycle.
class BareProvider : public CISerialProvider {
public:
    BOOLEAN m_Init() override { return TRUE; }
    BOOLEAN m_DeInit() override { return TRUE; }
};

class ISerialTest : public PooledTest {
protected:
    void SetUp() override
    {
        PooledTest::SetUp();
        provider = new RecordingProvider();
        ASSERT_NE(provider, nullptr);
    }
    void TearDown() override
    {
        delete provider;
        PooledTest::TearDown();
    }
    RecordingProvider* provider = nullptr;
};

using Op = std::function<BOOLEAN(ISerial*)>;

// Calls every operation through the record with arguments that tell them apart.
struct OperationCase {
    int operation;
    Op call;
    std::vector<uint64_t> args;
};

std::vector<OperationCase> OperationCases(PUCHAR eeprom)
{
    auto e = reinterpret_cast<uintptr_t>(eeprom);
    return {
        {0, [](ISerial* r) { return r->m_ConnectCallback(r->pImplementation); }, {}},
        {1, [](ISerial* r) { return r->m_DisconnectCallback(r->pImplementation); }, {}},
        {2, [](ISerial* r) { return r->m_PortWriteCallback(r->pImplementation, CJnDataBuffer::sm_CreateCopy("abc", 3)); },
         {3}},
        {3, [](ISerial* r) { return r->m_RtsCallback(r->pImplementation, TRUE); }, {1}},
        {4, [](ISerial* r) { return r->m_DtrCallback(r->pImplementation, FALSE); }, {0}},
        {5, [](ISerial* r) { return r->m_CommSettingsCallback(r->pImplementation, 2, 3, 1); }, {2, 3, 1}},
        {6, [](ISerial* r) { return r->m_BaudrateCallback(r->pImplementation, 921600); }, {921600}},
        {7, [](ISerial* r) { return r->m_TriggerLevelsCallback(r->pImplementation, 4, 8, 14); }, {4, 8, 14}},
        {8,
         [](ISerial* r) { return r->m_HandshakingSettingsCallback(r->pImplementation, 1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1); },
         {1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1}},
        {9, [](ISerial* r) { return r->m_InternalLoopbackCallback(r->pImplementation, TRUE); }, {1}},
        {10, [](ISerial* r) { return r->m_DuplexModeSettingsCallback(r->pImplementation, 2, TRUE); }, {2, 1}},
        {11, [eeprom](ISerial* r) { return r->m_ReadEepromCallback(r->pImplementation, 16, 32, eeprom); }, {16, 32, e}},
        {12, [eeprom](ISerial* r) { return r->m_WriteEepromCallback(r->pImplementation, 8, 4, eeprom); }, {8, 4, e}},
        {13, [](ISerial* r) { return r->m_SetBreakCallback(r->pImplementation, TRUE); }, {1}},
        {14, [](ISerial* r) { return r->m_PurgeCallback(r->pImplementation, FALSE, TRUE); }, {0, 1}},
        {15, [](ISerial* r) { return r->m_IsBaudRateSettableCallback(r->pImplementation, 300); }, {300}},
        {16,
         [](ISerial* r) { return r->m_SetSpecialCharactersCallback(r->pImplementation, 1, 2, 3, 4, 0x11, 0x13); },
         {1, 2, 3, 4, 0x11, 0x13}},
        {17, [](ISerial* r) { return r->m_LsrMstInsertCallback(r->pImplementation, 0xFF); }, {0xFF}},
        {18, [](ISerial* r) { return r->m_PretendXoffReceivedCallback(r->pImplementation, TRUE); }, {1}},
        {19, [](ISerial* r) { return r->m_SendImmediateCharacterCallback(r->pImplementation, 'Q'); }, {'Q'}},
        {20,
         [](ISerial* r) {
             ULONG tx = 0, rx = 0;
             BOOLEAN ok = r->m_GetFifoSizesCallback(r->pImplementation, &tx, &rx);
             return static_cast<BOOLEAN>(ok && tx == 4096 && rx == 512);
         },
         {}},
        {21, [](ISerial* r) { return r->m_UpdateModemStatusCallback(r->pImplementation); }, {}},
        {22, [](ISerial* r) { return r->m_SendXonXoffCallback(r->pImplementation, TRUE); }, {1}},
        {23,
         [](ISerial* r) {
             ULONG max = 0;
             return static_cast<BOOLEAN>(r->m_GetMaximumBaudRateCallback(r->pImplementation, &max) && max == 1000000);
         },
         {}},
    };
}

TEST_F(ISerialTest, EveryOperationReachesTheProviderMethodOfItsPosition)
{
    ISerial* r = provider->Create(1, 1, 1, 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(provider->m_GetInterface(), r);
    EXPECT_EQ(r->pImplementation, provider);
    UCHAR eeprom[32];
    for (const OperationCase& c : OperationCases(eeprom)) {
        provider->calls.clear();
        EXPECT_EQ(c.call(r), TRUE) << "operation " << c.operation;
        EXPECT_EQ(provider->calls, std::vector<RecordingProvider::Call>({{c.operation, c.args}}))
            << "operation " << c.operation;
    }
    provider->result = FALSE;
    EXPECT_EQ(r->m_BaudrateCallback(r->pImplementation, 9600), FALSE) << "the provider's result comes back";
}

TEST_F(ISerialTest, AProviderThatImplementsNothingRefusesEveryOperation)
{
    BareProvider* bare = new BareProvider();
    ISerial* r = bare->m_CreateInterface(KWISERIAL_INTERFACE_VERSION, 1, -1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
    ASSERT_NE(r, nullptr);
    UCHAR eeprom[32];
    for (const OperationCase& c : OperationCases(eeprom)) EXPECT_EQ(c.call(r), FALSE) << "operation " << c.operation;
    delete bare;
    EXPECT_EQ(pool->m_RecordedCount(), 1u) << "the refused write's buffer and the record are gone; the fixture's provider stays";
}

TEST_F(ISerialTest, GatesDecideWhichOptionalOperationsExist)
{
    struct Case {
        BOOLEAN is422485, ext, readEeprom, writeEeprom;
        bool op10, op11, op12, op17, assertion;
    } cases[] = {
        {0, 0, 0, 0, false, false, false, false, false},  // what this bus driver builds for RS-232
        {1, 0, 0, 0, true, false, false, false, false},   // ... and for an RS-422/485 channel
        {0, 1, 1, 1, false, true, true, true, false},
        {2, 0, 2, 2, false, false, false, false, false},  // gates other than 1 leave operations out
        {0, 2, 0, 0, false, false, false, false, true},   // a non-zero extended gate reaches the setter
    };
    for (const Case& c : cases) {
        RecordingProvider p;
        ClearDebugOutput();
        ISerial* r = p.Create(c.is422485, c.ext, c.readEeprom, c.writeEeprom);
        ASSERT_NE(r, nullptr);
        std::string which = "gates " + std::to_string(c.is422485) + std::to_string(c.ext) +
                            std::to_string(c.readEeprom) + std::to_string(c.writeEeprom);
        EXPECT_EQ(r->m_DuplexModeSettingsCallback != nullptr, c.op10) << which;
        EXPECT_EQ(r->m_ReadEepromCallback != nullptr, c.op11) << which;
        EXPECT_EQ(r->m_WriteEepromCallback != nullptr, c.op12) << which;
        EXPECT_EQ(r->m_LsrMstInsertCallback != nullptr, c.op17) << which;
        EXPECT_EQ(DebugOutput().find("ASSERT at - ") != std::string::npos, c.assertion) << which;
        // The ungated operations are always there.
        EXPECT_NE(r->m_ConnectCallback, nullptr);
        EXPECT_NE(r->m_InternalLoopbackCallback, nullptr);
        EXPECT_NE(r->m_SetBreakCallback, nullptr);
        EXPECT_NE(r->m_SetSpecialCharactersCallback, nullptr);
        EXPECT_NE(r->m_PretendXoffReceivedCallback, nullptr);
        EXPECT_NE(r->m_GetMaximumBaudRateCallback, nullptr);
    }
}

TEST_F(ISerialTest, HeaderValuesAreStoredByField)
{
    // Line-support bytes arrive as CTS, RTS, DTR, DSR, DCD, RI; the record keeps DSR
    // before DTR.
    ISerial* r = provider->m_CreateInterface(KWISERIAL_INTERFACE_VERSION, 1, 0x1234, 0, 0, 0, 11, 12, 13, 14, 15, 16);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->bIs422485, 1);
    EXPECT_EQ(r->lSupportedBaudRates, 0x1234);
    EXPECT_EQ(r->bCtsSupported, 11);
    EXPECT_EQ(r->bRtsSupported, 12);
    EXPECT_EQ(r->bDtrSupported, 13);
    EXPECT_EQ(r->bDsrSupported, 14);
    EXPECT_EQ(r->bDcdSupported, 15);
    EXPECT_EQ(r->bRiSupported, 16);
    EXPECT_EQ(r->pCallbackContext, nullptr) << "the port driver writes it";
    EXPECT_EQ(r->m_DataReceivedCallback, nullptr);
    EXPECT_EQ(r->m_AvailableReceiveBufferSizeCallback, nullptr);
}

TEST_F(ISerialTest, OneRecordPerProviderAndOnlyVersionFive)
{
    uint64_t before = PoolAllocationCount();
    for (ULONG version : {0u, 4u, 6u}) {
        EXPECT_EQ(provider->m_CreateInterface(version, 0, -1, 0, 0, 0, 1, 1, 1, 1, 1, 1), nullptr) << version;
    }
    EXPECT_EQ(PoolAllocationCount(), before) << "nothing is built for another version";
    EXPECT_EQ(provider->m_GetInterface(), nullptr);

    PoolFailNth(1);
    EXPECT_EQ(provider->Create(), nullptr) << "pool exhausted";
    EXPECT_EQ(provider->m_GetInterface(), nullptr);

    ISerial* first = provider->Create();
    ASSERT_NE(first, nullptr);
    ClearDebugOutput();
    EXPECT_EQ(provider->Create(1), nullptr) << "a second record";
    EXPECT_NE(DebugOutput().find("ASSERT at - "), std::string::npos);
    EXPECT_EQ(provider->m_GetInterface(), first);
    EXPECT_EQ(first->m_DuplexModeSettingsCallback, nullptr) << "the first record is left as it was";

    delete provider;
    provider = nullptr;
    EXPECT_EQ(pool->m_RecordedCount(), 0u) << "the record goes with its provider";
}

// The port driver's side of the callbacks: records what the bus driver reported.
struct PortCallbacks {
    std::vector<std::string> seen;
    BOOLEAN result = TRUE;

    static PortCallbacks* Of(PVOID context) { return static_cast<PortCallbacks*>(context); }
    static void Install(ISerial* r)
    {
        r->m_DataReceivedCallback = [](PVOID c, CJnDataBuffer* b) {
            Of(c)->seen.push_back("data " + std::string(reinterpret_cast<char*>(b->m_GetData()), b->m_GetLength()));
            b->m_Delete();
            return Of(c)->result;
        };
        r->m_LineStatusCallback = [](PVOID c, BOOLEAN oe, BOOLEAN pe, BOOLEAN fe, BOOLEAN bi, BOOLEAN dr, BOOLEAN thre,
                                     BOOLEAN temt, BOOLEAN fifo) {
            Of(c)->seen.push_back("line " + std::to_string(oe) + std::to_string(pe) + std::to_string(fe) +
                                  std::to_string(bi) + std::to_string(dr) + std::to_string(thre) + std::to_string(temt) +
                                  std::to_string(fifo));
            return Of(c)->result;
        };
        r->m_ModemStatusCallback = [](PVOID c, BOOLEAN cts, BOOLEAN dsr, BOOLEAN ri, BOOLEAN teri, BOOLEAN dcd) {
            Of(c)->seen.push_back("modem " + std::to_string(cts) + std::to_string(dsr) + std::to_string(ri) +
                                  std::to_string(teri) + std::to_string(dcd));
            return Of(c)->result;
        };
        r->m_DataWrittenCallback = [](PVOID c, ULONG n) {
            Of(c)->seen.push_back("written " + std::to_string(n));
            return Of(c)->result;
        };
        r->m_ImmediateCharacterSentCallback = [](PVOID c) {
            Of(c)->seen.push_back("immediate");
            return Of(c)->result;
        };
        r->m_XoffSentCallback = [](PVOID c, BOOLEAN sent) {
            Of(c)->seen.push_back("xoff " + std::to_string(sent));
            return Of(c)->result;
        };
        r->m_AvailableReceiveBufferSizeCallback = [](PVOID c, ULONG n, ULONG reserve, PULONG free) {
            Of(c)->seen.push_back("space " + std::to_string(n) + " " + std::to_string(reserve));
            *free = 777;
            return Of(c)->result;
        };
    }
};

// Makes every callback the bus driver makes, once; returns how many reported TRUE.
int CallAll(RecordingProvider* p, ULONG* free)
{
    int ok = 0;
    ok += p->m_CallDataReceived(CJnDataBuffer::sm_CreateCopy("xy", 2)) == TRUE;
    ok += p->m_CallLineStatus(1, 0, 1, 0, 1, 1, 0, 1) == TRUE;
    ok += p->m_CallModemStatus(1, 1, 0, 1, 0) == TRUE;
    ok += p->m_CallDataWritten(62) == TRUE;
    ok += p->m_CallImmediateCharacterSent() == TRUE;
    ok += p->m_CallXoffSent(TRUE) == TRUE;
    ok += p->m_CallAvailableReceiveBufferSize(124, 574, free) == TRUE;
    return ok;
}

TEST_F(ISerialTest, CallbacksReachThePortOnlyWhenItHasFilledThemIn)
{
    ULONG free = 0;
    EXPECT_EQ(CallAll(provider, &free), 0) << "no record yet";

    ISerial* r = provider->Create();
    PortCallbacks port;
    EXPECT_EQ(CallAll(provider, &free), 0) << "no callbacks yet";

    PortCallbacks::Install(r);
    EXPECT_EQ(CallAll(provider, &free), 0) << "callbacks but no context";
    EXPECT_TRUE(port.seen.empty());

    r->pCallbackContext = &port;
    EXPECT_EQ(CallAll(provider, &free), 7);
    EXPECT_EQ(port.seen, std::vector<std::string>({"data xy", "line 10101101", "modem 11010", "written 62", "immediate",
                                                   "xoff 1", "space 124 574"}));
    EXPECT_EQ(free, 777u);

    port.result = FALSE;
    EXPECT_EQ(CallAll(provider, &free), 0) << "the port's result comes back";

    r->m_DataReceivedCallback = nullptr;
    port.seen.clear();
    EXPECT_FALSE(provider->m_CallDataReceived(CJnDataBuffer::sm_CreateCopy("z", 1)));
    EXPECT_TRUE(port.seen.empty());
    EXPECT_EQ(pool->m_RecordedCount(), 2u) << "a buffer nobody takes is deleted (provider and record remain)";
}

}  // namespace
}  // namespace kwsim::test
