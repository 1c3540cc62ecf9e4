// The port driver's part, as the channel engine's tests play it: a callback object
// written into the ISerial record that records every callback (with time, level and
// thread), keeps a receive buffer whose free space it reports, and can consume data,
// drop RTS when its buffer fills (input flow control) and stall a delivery. Writes and
// settings go through the record's operation pointers, as the port driver calls them.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "jndatabuffer.h"
#include "kwiserial.h"
#include "simkernel/sim.h"

namespace kwsim::test {

class TestPort {
public:
    struct Status {
        int64_t at;
        uint8_t bits;  // a line-status or modem-status byte rebuilt from the booleans
    };
    struct Written {
        int64_t at;
        ULONG bytes;
        KIRQL irql;
    };

    explicit TestPort(ISerial* record) : record_(record)
    {
        KeInitializeEvent(&deliveryGate_, NotificationEvent, TRUE);
        record->pCallbackContext = this;
        record->m_DataReceivedCallback = DataReceived;
        record->m_ReservedCallback = [](PVOID) -> BOOLEAN { return FALSE; };
        record->m_LineStatusCallback = LineStatus;
        record->m_ModemStatusCallback = ModemStatus;
        record->m_DataWrittenCallback = DataWritten;
        record->m_ImmediateCharacterSentCallback = ImmediateCharacterSent;
        record->m_XoffHoldingCallback = [](PVOID, BOOLEAN) -> BOOLEAN { return TRUE; };
        record->m_XoffSentCallback = XoffSent;
        record->m_AvailableReceiveBufferSizeCallback = AvailableReceiveBufferSize;
    }

    // ---- operations, as the port driver calls them ----
    CISerialProvider* Impl() const { return record_->pImplementation; }
    BOOLEAN Connect() { return record_->m_ConnectCallback(Impl()); }
    BOOLEAN Disconnect() { return record_->m_DisconnectCallback(Impl()); }
    BOOLEAN Write(const std::vector<uint8_t>& bytes)
    {
        CJnDataBuffer* buffer = CJnDataBuffer::sm_CreateCopy(bytes.data(), (ULONG)bytes.size());
        {
            std::lock_guard<std::mutex> lk(mu_);
            sent_ += bytes.size();
        }
        return record_->m_PortWriteCallback(Impl(), buffer);
    }
    BOOLEAN Baud(ULONG rate) { return record_->m_BaudrateCallback(Impl(), rate); }
    BOOLEAN Comm(ULONG dataBits, ULONG parity, ULONG stopBits)
    {
        return record_->m_CommSettingsCallback(Impl(), dataBits, parity, stopBits);
    }
    BOOLEAN Triggers(UCHAR tx, UCHAR rx) { return record_->m_TriggerLevelsCallback(Impl(), tx, rx, 1); }
    // The handshake arguments in their order; the last three are not for this bus driver.
    BOOLEAN Handshake(bool ctsOut, bool rtsIn, bool dsrOut, bool dtrIn, bool dsrSensitivity, bool rtsToggle,
                      bool xonOut, bool xonIn, bool xoffContinue = false)
    {
        return record_->m_HandshakingSettingsCallback(Impl(), ctsOut, rtsIn, dsrOut, dtrIn, dsrSensitivity, rtsToggle,
                                                       xonOut, xonIn, xoffContinue, FALSE, FALSE, FALSE);
    }
    BOOLEAN Rts(bool on) { return record_->m_RtsCallback(Impl(), on); }
    BOOLEAN Dtr(bool on) { return record_->m_DtrCallback(Impl(), on); }
    BOOLEAN Break(bool on) { return record_->m_SetBreakCallback(Impl(), on); }
    BOOLEAN Purge(bool tx, bool rx) { return record_->m_PurgeCallback(Impl(), tx, rx); }
    BOOLEAN Immediate(UCHAR c) { return record_->m_SendImmediateCharacterCallback(Impl(), c); }
    BOOLEAN SendXonXoff(bool xoff) { return record_->m_SendXonXoffCallback(Impl(), xoff); }
    BOOLEAN SpecialChars(UCHAR xon, UCHAR xoff)
    {
        return record_->m_SetSpecialCharactersCallback(Impl(), 0, 0x1A, 0, 0, xon, xoff);
    }

    // ---- the receive buffer ----
    std::vector<uint8_t> Received()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return received_;
    }
    size_t ReceivedCount()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return received_.size();
    }
    std::vector<size_t> Deliveries()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return deliveries_;
    }
    // Bytes taken out of the buffer by the application.
    void Consume(size_t n)
    {
        bool release;
        {
            std::lock_guard<std::mutex> lk(mu_);
            queued_ -= std::min(queued_, n);
            release = flowHeld_ && queued_ <= xonLevel_;
            if (release) flowHeld_ = false;
        }
        if (release) ReleaseFlow();
    }
    size_t Queued()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return queued_;
    }
    void SetBufferSize(ULONG size) { bufferSize_ = size; }
    // Input flow control as the port does it: at `xoffAt` bytes queued RTS (or, with
    // Xon/Xoff, the Xoff character) goes out from passive level; at or below `xonAt` it
    // is released again.
    enum class Flow { None, Rts, XonXoff };
    void SetInputFlow(Flow flow, size_t xoffAt, size_t xonAt)
    {
        flow_ = flow;
        xoffLevel_ = xoffAt;
        xonLevel_ = xonAt;
    }
    std::vector<ULONG> FreeAnswers()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return freeAnswers_;
    }
    // While set, a delivery waits (at passive level, as the port's read queue lock never
    // would, but as a slow port might) until it is cleared.
    void HoldDeliveries(bool hold)
    {
        if (hold)
            KeClearEvent(&deliveryGate_);
        else
            KeSetEvent(&deliveryGate_, IO_NO_INCREMENT, FALSE);
    }

    // Called in every delivery, before the data is taken (at passive level).
    std::function<void()> onDelivery;

    // ---- what the engine reported ----
    std::vector<Status> Lines()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_;
    }
    std::vector<Status> Modems()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return modems_;
    }
    std::vector<Written> WrittenReports()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return written_;
    }
    ULONG WrittenTotal()
    {
        std::lock_guard<std::mutex> lk(mu_);
        ULONG n = 0;
        for (auto& w : written_) n += w.bytes;
        return n;
    }
    void ClearWritten()
    {
        std::lock_guard<std::mutex> lk(mu_);
        written_.clear();
    }
    int ImmediateSent() const { return immediateSent_; }
    std::vector<bool> XoffSentReports()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return xoffSent_;
    }
    // Levels the callbacks came at that a port would not expect (passive-only callbacks
    // made above PASSIVE_LEVEL).
    std::vector<std::string> WrongLevels()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return wrongLevels_;
    }

private:
    static TestPort* Of(PVOID context) { return static_cast<TestPort*>(context); }
    void AtPassive(const char* what)
    {
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            std::lock_guard<std::mutex> lk(mu_);
            wrongLevels_.push_back(std::string(what) + " at IRQL " + std::to_string(KeGetCurrentIrql()));
        }
    }
    static BOOLEAN DataReceived(PVOID context, CJnDataBuffer* buffer)
    {
        TestPort* self = Of(context);
        self->AtPassive("m_DataReceivedCallback");
        KeWaitForSingleObject(&self->deliveryGate_, Executive, KernelMode, FALSE, nullptr);
        if (self->onDelivery) self->onDelivery();
        bool hold = false;
        {
            std::lock_guard<std::mutex> lk(self->mu_);
            self->received_.insert(self->received_.end(), buffer->m_GetData(), buffer->m_GetData() + buffer->m_GetLength());
            self->deliveries_.push_back(buffer->m_GetLength());
            self->queued_ += buffer->m_GetLength();
            if (self->flow_ != Flow::None && !self->flowHeld_ && self->queued_ >= self->xoffLevel_) {
                self->flowHeld_ = true;
                hold = true;
            }
        }
        buffer->m_Delete();
        if (hold) self->HoldFlow();
        return TRUE;
    }
    void HoldFlow()
    {
        if (flow_ == Flow::Rts) Rts(false);
        if (flow_ == Flow::XonXoff) SendXonXoff(true);
    }
    void ReleaseFlow()
    {
        if (flow_ == Flow::Rts) Rts(true);
        if (flow_ == Flow::XonXoff) SendXonXoff(false);
    }
    static BOOLEAN LineStatus(PVOID context, BOOLEAN oe, BOOLEAN pe, BOOLEAN fe, BOOLEAN bi, BOOLEAN dr, BOOLEAN thre,
                              BOOLEAN temt, BOOLEAN fifo)
    {
        TestPort* self = Of(context);
        self->AtPassive("m_LineStatusCallback");
        uint8_t bits = uint8_t(dr | oe << 1 | pe << 2 | fe << 3 | bi << 4 | thre << 5 | temt << 6 | fifo << 7);
        std::lock_guard<std::mutex> lk(self->mu_);
        self->lines_.push_back({Now(), bits});
        return TRUE;
    }
    static BOOLEAN ModemStatus(PVOID context, BOOLEAN cts, BOOLEAN dsr, BOOLEAN ri, BOOLEAN riTrailing, BOOLEAN dcd)
    {
        TestPort* self = Of(context);
        self->AtPassive("m_ModemStatusCallback");
        uint8_t bits = uint8_t(0x01 | riTrailing << 2 | cts << 4 | dsr << 5 | ri << 6 | dcd << 7);
        std::lock_guard<std::mutex> lk(self->mu_);
        self->modems_.push_back({Now(), bits});
        return TRUE;
    }
    static BOOLEAN DataWritten(PVOID context, ULONG bytes)
    {
        TestPort* self = Of(context);
        self->AtPassive("m_DataWrittenCallback");
        std::lock_guard<std::mutex> lk(self->mu_);
        self->written_.push_back({Now(), bytes, KeGetCurrentIrql()});
        return TRUE;
    }
    static BOOLEAN ImmediateCharacterSent(PVOID context)
    {
        Of(context)->immediateSent_++;
        return TRUE;
    }
    static BOOLEAN XoffSent(PVOID context, BOOLEAN sent)
    {
        TestPort* self = Of(context);
        std::lock_guard<std::mutex> lk(self->mu_);
        self->xoffSent_.push_back(sent != FALSE);
        return TRUE;
    }
    // May come at DISPATCH_LEVEL: it only looks.
    static BOOLEAN AvailableReceiveBufferSize(PVOID context, ULONG incoming, ULONG reserve, PULONG freeSpace)
    {
        TestPort* self = Of(context);
        std::lock_guard<std::mutex> lk(self->mu_);
        ULONG size = self->bufferSize_;
        *freeSpace = self->queued_ < size ? size - ULONG(self->queued_) : 0;
        self->freeAnswers_.push_back(*freeSpace);
        return TRUE;
    }

    ISerial* record_;
    std::mutex mu_;
    std::vector<uint8_t> received_;
    std::vector<size_t> deliveries_;
    size_t queued_ = 0;
    size_t sent_ = 0;
    std::atomic<ULONG> bufferSize_{1u << 20};
    Flow flow_ = Flow::None;
    size_t xoffLevel_ = 0, xonLevel_ = 0;
    bool flowHeld_ = false;
    std::vector<ULONG> freeAnswers_;
    std::vector<Status> lines_, modems_;
    std::vector<Written> written_;
    std::atomic<int> immediateSent_{0};
    std::vector<bool> xoffSent_;
    std::vector<std::string> wrongLevels_;
    KEVENT deliveryGate_;
};

}  // namespace kwsim::test
