#include "recordingserial.h"

#include <algorithm>
#include <cstring>

#include "jndatabuffer.h"

namespace kwsim::test {

void RunOn(ServiceThread* thread, const std::function<void()>& fn)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PostToServiceThread(thread, [&] {
        fn();
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    Settle();
}

// ---- RecordingSerial ----

RecordingSerial::RecordingSerial(ULONG portNumber, ServiceThread* worker, ServiceThread* completion)
    : portNumber_(portNumber), worker_(worker), completion_(completion)
{
    // What the bus driver's divisor search accepts: nothing at 183 baud and below.
    settable = [this](ULONG rate) { return rate > 183 && rate <= maximumBaudRate ? TRUE : FALSE; };
}

RecordingSerial::~RecordingSerial() = default;

ISerial* RecordingSerial::Create(const Capabilities& c)
{
    return m_CreateInterface(KWISERIAL_INTERFACE_VERSION, c.is422485, c.supportedBaudRates,
                             c.extendedCharacterProcessing, c.readEeprom, c.writeEeprom, c.cts, c.rts, c.dtr, c.dsr,
                             c.dcd, c.ri);
}

BOOLEAN RecordingSerial::Record(const std::string& op, std::vector<uint64_t> args)
{
    std::string text = op + "(";
    for (size_t i = 0; i < args.size(); i++) text += (i ? "," : "") + std::to_string(args[i]);
    text += ")";
    std::lock_guard<std::mutex> lk(mu_);
    log_.push_back({text, KeGetCurrentIrql(), Now()});
    auto it = results_.find(op);
    return it == results_.end() ? TRUE : it->second;
}

std::vector<std::string> RecordingSerial::Calls()
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<std::string> calls;
    for (auto& c : log_) calls.push_back(c.text);
    return calls;
}

std::vector<std::string> RecordingSerial::Calls(const std::string& op)
{
    std::vector<std::string> calls;
    for (auto& c : Calls())
        if (c.compare(0, op.size() + 1, op + "(") == 0) calls.push_back(c);
    return calls;
}

std::vector<RecordingSerial::Call> RecordingSerial::Log()
{
    std::lock_guard<std::mutex> lk(mu_);
    return log_;
}

void RecordingSerial::ClearLog()
{
    std::lock_guard<std::mutex> lk(mu_);
    log_.clear();
}

void RecordingSerial::SetResult(const std::string& op, BOOLEAN result)
{
    std::lock_guard<std::mutex> lk(mu_);
    results_[op] = result;
}

std::string RecordingSerial::Written()
{
    std::lock_guard<std::mutex> lk(mu_);
    return written_;
}

BOOLEAN RecordingSerial::m_ConnectCallback()
{
    BOOLEAN result = Record("Connect", {});
    if (result && connectCredit) m_CallDataWritten(connectCredit);
    return result;
}

BOOLEAN RecordingSerial::m_PortWriteCallback(CJnDataBuffer* pBuffer)
{
    BOOLEAN result = Record("PortWrite", {pBuffer->m_GetLength()});
    if (result) {
        std::lock_guard<std::mutex> lk(mu_);
        written_.append(reinterpret_cast<const char*>(pBuffer->m_GetData()), pBuffer->m_GetLength());
    }
    pBuffer->m_Delete();  // the bus owns it in every case
    return result;
}

BOOLEAN RecordingSerial::m_ReadEepromCallback(ULONG offset, ULONG length, PUCHAR p)
{
    BOOLEAN result = Record("ReadEeprom", {offset, length});
    if (!result || offset + length > eeprom.size()) return FALSE;
    memcpy(p, eeprom.data() + offset, length);
    return TRUE;
}

BOOLEAN RecordingSerial::m_WriteEepromCallback(ULONG offset, ULONG length, PUCHAR p)
{
    BOOLEAN result = Record("WriteEeprom", {offset, length});
    if (!result || offset + length > eeprom.size()) return FALSE;
    memcpy(eeprom.data() + offset, p, length);
    return TRUE;
}

BOOLEAN RecordingSerial::m_IsBaudRateSettableCallback(ULONG rate)
{
    Record("IsBaudRateSettable", {rate});
    return settable(rate);
}

BOOLEAN RecordingSerial::m_GetFifoSizesCallback(PULONG tx, PULONG rx)
{
    BOOLEAN result = Record("GetFifoSizes", {});
    if (result) {
        *tx = txFifoSize;
        *rx = rxFifoSize;
    }
    return result;
}

BOOLEAN RecordingSerial::m_GetMaximumBaudRateCallback(PULONG max)
{
    BOOLEAN result = Record("GetMaximumBaudRate", {});
    if (result) *max = maximumBaudRate;
    return result;
}

// ---- the bus side's callbacks ----

BOOLEAN RecordingSerial::OnWorker(const std::function<BOOLEAN()>& fn)
{
    BOOLEAN result = FALSE;
    RunOn(worker_, [&] { result = fn(); });
    return result;
}

BOOLEAN RecordingSerial::Receive(const std::string& bytes)
{
    return OnWorker([&] { return m_CallDataReceived(CJnDataBuffer::sm_CreateCopy(bytes.data(), (ULONG)bytes.size())); });
}

BOOLEAN RecordingSerial::LineStatus(const Line& l)
{
    return OnWorker([&] {
        return m_CallLineStatus(l.overrun, l.parity, l.framing, l.brk, l.dataReady, l.thre, l.temt, l.fifoError);
    });
}

void RecordingSerial::LineStatusAt(int64_t at, const Line& l)
{
    ScheduleAt(at, [this, l] {
        PostToServiceThread(worker_, [this, l] {
            m_CallLineStatus(l.overrun, l.parity, l.framing, l.brk, l.dataReady, l.thre, l.temt, l.fifoError);
        });
    });
}

BOOLEAN RecordingSerial::ModemStatus(const Modem& m)
{
    return OnWorker([&] { return m_CallModemStatus(m.cts, m.dsr, m.ri, m.riTrailingEdge, m.dcd); });
}

BOOLEAN RecordingSerial::DataWritten(ULONG bytes, bool atDispatch)
{
    if (!atDispatch) return OnWorker([&] { return m_CallDataWritten(bytes); });
    BOOLEAN result = FALSE;
    RunOn(completion_, [&] { result = m_CallDataWritten(bytes); });
    return result;
}

BOOLEAN RecordingSerial::XoffSent(BOOLEAN sent)
{
    return OnWorker([&] { return m_CallXoffSent(sent); });
}

BOOLEAN RecordingSerial::ImmediateCharacterSent()
{
    return OnWorker([&] { return m_CallImmediateCharacterSent(); });
}

std::pair<BOOLEAN, ULONG> RecordingSerial::FreeSpace(ULONG bytesToDeliver, ULONG reserve)
{
    BOOLEAN result = FALSE;
    ULONG free = 0xFFFFFFFF;
    RunOn(completion_, [&] { result = m_CallAvailableReceiveBufferSize(bytesToDeliver, reserve, &free); });
    return {result, free};
}

// ---- BusChild ----

BusChild::BusChild()
{
    worker = StartServiceThread("bus worker", PASSIVE_LEVEL);
    completion = StartServiceThread("bus completion", DISPATCH_LEVEL);
    pdo = CreatePdo(u"\\Device\\KwUVcpTestChild", [this](PDEVICE_OBJECT, PIRP irp) { return Handle(irp); });
}

BusChild::~BusChild()
{
    if (pdo) DeletePdo(pdo);
    for (RecordingSerial* s : lent_) delete s;
    StopServiceThread(worker);
    StopServiceThread(completion);
}

RecordingSerial* BusChild::Serial()
{
    std::lock_guard<std::mutex> lk(mu_);
    return lent_.empty() ? nullptr : lent_.back();
}

size_t BusChild::Lent()
{
    std::lock_guard<std::mutex> lk(mu_);
    return lent_.size();
}

std::vector<BusChild::Request> BusChild::Requests()
{
    std::lock_guard<std::mutex> lk(mu_);
    return requests_;
}

std::optional<NTSTATUS> BusChild::Handle(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return std::nullopt;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    Request request = {code, in, out, 0, 0, nullptr};
    irp->IoStatus.Information = 0;
    std::lock_guard<std::mutex> lk(mu_);
    if (code == IOCTL_CREATE_KWISERIAL) {
        if (buffer && in >= sizeof(CreateKwISerialRequestStruct)) {
            auto* create = static_cast<CreateKwISerialRequestStruct*>(buffer);
            request.version = create->ulInterfaceVersion;
            request.portNumber = create->ulPortNumber;
        }
        requests_.push_back(request);
        if (in != sizeof(CreateKwISerialRequestStruct) || !buffer || out != sizeof(CreateKwISerialResponseStruct))
            return STATUS_INVALID_PARAMETER;
        if (refuseCreate) return STATUS_UNSUCCESSFUL;
        ISerial* record = nullptr;
        if (!nullRecord) {
            auto* provider = new RecordingSerial(request.portNumber, worker, completion);
            if (!provider) return STATUS_INSUFFICIENT_RESOURCES;
            record = provider->Create(capabilities);
            if (!record) {
                delete provider;
                return STATUS_UNSUCCESSFUL;
            }
            lent_.push_back(provider);
        }
        static_cast<CreateKwISerialResponseStruct*>(buffer)->pISerial = record;
        irp->IoStatus.Information = sizeof(CreateKwISerialResponseStruct);
        return STATUS_SUCCESS;
    }
    if (code == IOCTL_RELEASE_KWISERIAL) {
        if (buffer && in >= sizeof(ReleaseKwISerialRequestStruct)) {
            auto* release = static_cast<ReleaseKwISerialRequestStruct*>(buffer);
            request.portNumber = release->ulPortNumber;
            request.record = release->pISerial;
        }
        requests_.push_back(request);
        if (in != sizeof(ReleaseKwISerialRequestStruct) || !buffer) return STATUS_INVALID_PARAMETER;
        auto gone = std::remove_if(lent_.begin(), lent_.end(), [&](RecordingSerial* s) {
            if (s->PortNumber() != request.portNumber) return false;
            delete s;
            return true;
        });
        lent_.erase(gone, lent_.end());
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace kwsim::test
