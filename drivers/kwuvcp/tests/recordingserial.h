// The bus side for tests of the port object: a recording ISerial provider and the lower
// device that lends its records.
//
// RecordingSerial builds its record as the bus driver's channel engines do (through
// CISerialProvider, with the capabilities a test gives), logs every operation with its
// arguments, the IRQL and the virtual time, answers with scripted results, and makes the
// nine callbacks from the bus side's own threads: a worker at PASSIVE_LEVEL for received
// data, status and "written" reports, a completion thread at DISPATCH_LEVEL for the
// free-space query.
//
// BusChild is the child device object the port's device sits on. It answers
// IOCTL_CREATE_KWISERIAL (a new RecordingSerial per request, as the bus builds a new
// engine) and IOCTL_RELEASE_KWISERIAL (every provider of that port number goes).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kwiserial.h"
#include "simkernel/io.h"
#include "simkernel/sim.h"

namespace kwsim::test {

// Runs fn on a service thread and waits for it; then lets the machine settle.
void RunOn(ServiceThread* thread, const std::function<void()>& fn);

class RecordingSerial : public CISerialProvider {
public:
    struct Capabilities {
        BOOLEAN is422485 = FALSE;
        LONG supportedBaudRates = KWISERIAL_BAUD_RATES_NOT_GIVEN;
        BOOLEAN extendedCharacterProcessing = FALSE;
        BOOLEAN readEeprom = FALSE;
        BOOLEAN writeEeprom = FALSE;
        BOOLEAN cts = TRUE, rts = TRUE, dtr = TRUE, dsr = TRUE, dcd = TRUE, ri = TRUE;
    };
    struct Call {
        std::string text;  // "Dtr(1)"
        KIRQL irql;
        int64_t at;
    };
    struct Line {
        bool overrun = false, parity = false, framing = false, brk = false, dataReady = false;
        bool thre = true, temt = true, fifoError = false;
    };
    struct Modem {
        bool cts = false, dsr = false, ri = false, riTrailingEdge = false, dcd = false;
    };

    RecordingSerial(ULONG portNumber, ServiceThread* worker, ServiceThread* completion);
    ~RecordingSerial() override;
    BOOLEAN m_Init() override { return TRUE; }
    BOOLEAN m_DeInit() override { return TRUE; }
    ISerial* Create(const Capabilities& capabilities);
    ULONG PortNumber() const { return portNumber_; }

    // ---- the operations' log and script ----
    std::vector<std::string> Calls();                      // every call, in order
    std::vector<std::string> Calls(const std::string& op);  // the calls of one operation
    std::vector<Call> Log();
    void ClearLog();
    // An operation's result (default TRUE).
    void SetResult(const std::string& op, BOOLEAN result);
    std::function<BOOLEAN(ULONG)> settable;  // m_IsBaudRateSettableCallback (default: what the bus accepts)
    ULONG txFifoSize = 512, rxFifoSize = 512, maximumBaudRate = 3000000;
    ULONG connectCredit = 4096;  // reported written at connect, as the bus grants its transfer size
    std::string Written();       // the bytes handed over by operation 2

    // ---- the callbacks, from the bus side's threads ----
    BOOLEAN Receive(const std::string& bytes);
    BOOLEAN LineStatus(const Line& line);
    BOOLEAN ModemStatus(const Modem& modem);
    // From the worker, or from the completion path at DISPATCH_LEVEL.
    BOOLEAN DataWritten(ULONG bytes, bool atDispatch = false);
    BOOLEAN XoffSent(BOOLEAN sent);
    BOOLEAN ImmediateCharacterSent();
    // The line status from the bus worker at virtual time `at`, without waiting for it.
    void LineStatusAt(int64_t at, const Line& line);
    // Callback 8 at DISPATCH_LEVEL: the result and the free space it reported.
    std::pair<BOOLEAN, ULONG> FreeSpace(ULONG bytesToDeliver, ULONG reserve);

    // ---- operations ----
    BOOLEAN m_ConnectCallback() override;
    BOOLEAN m_DisconnectCallback() override { return Record("Disconnect", {}); }
    BOOLEAN m_PortWriteCallback(CJnDataBuffer* pBuffer) override;
    BOOLEAN m_RtsCallback(BOOLEAN on) override { return Record("Rts", {on}); }
    BOOLEAN m_DtrCallback(BOOLEAN on) override { return Record("Dtr", {on}); }
    BOOLEAN m_CommSettingsCallback(ULONG d, ULONG p, ULONG s) override { return Record("CommSettings", {d, p, s}); }
    BOOLEAN m_BaudrateCallback(ULONG rate) override { return Record("Baudrate", {rate}); }
    BOOLEAN m_TriggerLevelsCallback(UCHAR tx, UCHAR rx, UCHAR flow) override
    {
        return Record("TriggerLevels", {tx, rx, flow});
    }
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN a, BOOLEAN b, BOOLEAN c, BOOLEAN d, BOOLEAN e, BOOLEAN f, BOOLEAN g,
                                          BOOLEAN h, BOOLEAN i, BOOLEAN j, BOOLEAN k, BOOLEAN l) override
    {
        return Record("Handshaking", {a, b, c, d, e, f, g, h, i, j, k, l});
    }
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN on) override { return Record("InternalLoopback", {on}); }
    BOOLEAN m_DuplexModeSettingsCallback(ULONG mode, BOOLEAN cts) override { return Record("DuplexMode", {mode, cts}); }
    BOOLEAN m_ReadEepromCallback(ULONG offset, ULONG length, PUCHAR p) override;
    BOOLEAN m_WriteEepromCallback(ULONG offset, ULONG length, PUCHAR p) override;
    BOOLEAN m_SetBreakCallback(BOOLEAN on) override { return Record("SetBreak", {on}); }
    BOOLEAN m_PurgeCallback(BOOLEAN tx, BOOLEAN rx) override { return Record("Purge", {tx, rx}); }
    BOOLEAN m_IsBaudRateSettableCallback(ULONG rate) override;
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR brk, UCHAR eof, UCHAR err, UCHAR evt, UCHAR xon, UCHAR xoff) override
    {
        return Record("SpecialCharacters", {brk, eof, err, evt, xon, xoff});
    }
    BOOLEAN m_LsrMstInsertCallback(UCHAR escape) override { return Record("LsrMstInsert", {escape}); }
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN xoff) override { return Record("PretendXoffReceived", {xoff}); }
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR c) override { return Record("SendImmediateCharacter", {c}); }
    BOOLEAN m_GetFifoSizesCallback(PULONG tx, PULONG rx) override;
    BOOLEAN m_UpdateModemStatusCallback() override { return Record("UpdateModemStatus", {}); }
    BOOLEAN m_SendXonXoffCallback(BOOLEAN xoff) override { return Record("SendXonXoff", {xoff}); }
    BOOLEAN m_GetMaximumBaudRateCallback(PULONG max) override;

    std::vector<UCHAR> eeprom = std::vector<UCHAR>(64, 0xEE);

private:
    BOOLEAN Record(const std::string& op, std::vector<uint64_t> args);
    BOOLEAN OnWorker(const std::function<BOOLEAN()>& fn);

    ULONG portNumber_;
    ServiceThread* worker_;
    ServiceThread* completion_;
    std::mutex mu_;
    std::vector<Call> log_;
    std::map<std::string, BOOLEAN> results_;
    std::string written_;
};

class BusChild {
public:
    BusChild();
    ~BusChild();
    BusChild(const BusChild&) = delete;
    BusChild& operator=(const BusChild&) = delete;

    PDEVICE_OBJECT pdo = nullptr;
    RecordingSerial::Capabilities capabilities;  // of the records made from now on
    bool refuseCreate = false;                   // answer the create request with STATUS_UNSUCCESSFUL
    bool nullRecord = false;                     // answer it with success and a null record

    // The provider made last (null when none is lent).
    RecordingSerial* Serial();
    size_t Lent();
    struct Request {
        ULONG code;
        ULONG inLength, outLength;
        ULONG portNumber;
        ULONG version;   // create only
        ISerial* record;  // release only
    };
    std::vector<Request> Requests();

    ServiceThread* worker = nullptr;
    ServiceThread* completion = nullptr;

private:
    std::optional<NTSTATUS> Handle(PIRP irp);

    std::mutex mu_;
    std::vector<RecordingSerial*> lent_;
    std::vector<Request> requests_;
};

}  // namespace kwsim::test
