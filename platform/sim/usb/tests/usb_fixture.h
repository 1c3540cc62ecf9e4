// What the USB host tests share: a scriptable device, the two adapters they plug (a
// four-interface composite device and a single-interface one), a fixture that owns the
// host, and a URB request that records how and when it completed.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kwplat/usb.h"
#include "simkernel/io.h"
#include "simtest.h"
#include "simusb/descriptors.h"
#include "simusb/host.h"

namespace kwsim::usb::test {

using kwsim::test::SimTest;

// A device the test scripts: IN endpoints answer queued packets (NAK when there are
// none), OUT endpoints take bytes while they have room (NAK beyond), control requests
// go to a handler. Everything is recorded; the test side feeds it from any thread.
class TestDevice : public DescribedDevice {
public:
    using DescribedDevice::DescribedDevice;

    // ---- the test's side ----
    void QueueIn(uint8_t ep, std::vector<uint8_t> packet)
    {
        {
            std::lock_guard<std::mutex> lk(mu_);
            in_[ep].push_back(std::move(packet));
        }
        EndpointReady(ep);
    }
    // `bytes` as packets of `packetSize` (the last one shorter, or a zero-length packet
    // when `terminate` and the length is a multiple).
    void QueueInBytes(uint8_t ep, const std::vector<uint8_t>& bytes, size_t packetSize = 64, bool terminate = false)
    {
        for (size_t i = 0; i < bytes.size(); i += packetSize)
            QueueIn(ep, {bytes.begin() + i, bytes.begin() + std::min(bytes.size(), i + packetSize)});
        if (terminate && bytes.size() % packetSize == 0) QueueIn(ep, {});
    }
    void ClearIn(uint8_t ep)
    {
        std::lock_guard<std::mutex> lk(mu_);
        in_[ep].clear();
    }
    void SetRoom(uint8_t ep, size_t bytes)
    {
        {
            std::lock_guard<std::mutex> lk(mu_);
            room_[ep] = bytes;
        }
        EndpointReady(ep);
    }
    std::vector<uint8_t> Received(uint8_t ep)
    {
        std::lock_guard<std::mutex> lk(mu_);
        return received_[ep];
    }
    std::vector<size_t> OutPackets(uint8_t ep)
    {
        std::lock_guard<std::mutex> lk(mu_);
        return outPackets_[ep];
    }
    int Polls(uint8_t ep)
    {
        std::lock_guard<std::mutex> lk(mu_);
        return polls_[ep];
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return events_;
    }
    std::vector<SetupPacket> Controls()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return controls_;
    }
    std::vector<std::vector<uint8_t>> ControlData()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return controlData_;
    }
    std::vector<int64_t> ControlTimes()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return controlTimes_;
    }
    // The answer to vendor and class requests (default: Ok with `inReply` for IN).
    std::function<ControlReply(const SetupPacket&, std::span<const uint8_t>)> onControl;
    std::vector<uint8_t> inReply{0x11, 0x60};
    bool stallIn = false;  // IN endpoints stall instead of answering

    // ---- the host's side ----
    void Attached(DeviceLink& link) override
    {
        DescribedDevice::Attached(link);
        Event("Attached");
    }
    void Detached() override
    {
        DescribedDevice::Detached();
        Event("Detached");
    }
    void BusReset() override { Event("BusReset"); }
    void SetConfiguration(uint8_t value) override { Event("SetConfiguration " + std::to_string(value)); }
    void SetInterface(uint8_t n, uint8_t alt) override
    {
        Event("SetInterface " + std::to_string(n) + " " + std::to_string(alt));
    }
    void ClearHalt(uint8_t ep) override { Event("ClearHalt " + std::to_string(ep)); }

    ControlReply Control(const SetupPacket& setup, std::span<const uint8_t> data) override
    {
        {
            std::lock_guard<std::mutex> lk(mu_);
            controls_.push_back(setup);
            controlData_.push_back({data.begin(), data.end()});
            controlTimes_.push_back(Now());
        }
        if (onControl) return onControl(setup, data);
        return ControlReply::Ok(setup.In() ? inReply : std::vector<uint8_t>{});
    }
    Handshake BulkOut(uint8_t ep, std::span<const uint8_t> packet) override
    {
        std::lock_guard<std::mutex> lk(mu_);
        auto room = room_.find(ep);
        if (room != room_.end()) {
            if (room->second < packet.size() || (packet.empty() && room->second == 0)) return Handshake::Nak;
            room->second -= packet.size();
        }
        received_[ep].insert(received_[ep].end(), packet.begin(), packet.end());
        outPackets_[ep].push_back(packet.size());
        return Handshake::Ack;
    }
    Handshake BulkIn(uint8_t ep, size_t maxLength, std::vector<uint8_t>& packet) override
    {
        std::lock_guard<std::mutex> lk(mu_);
        polls_[ep]++;
        if (stallIn) return Handshake::Stall;
        auto& q = in_[ep];
        if (q.empty()) return Handshake::Nak;
        // A packet longer than the host allows is split, as the device's FIFO would be.
        std::vector<uint8_t>& front = q.front();
        if (front.size() > maxLength) {
            packet.assign(front.begin(), front.begin() + maxLength);
            front.erase(front.begin(), front.begin() + maxLength);
        } else {
            packet = std::move(front);
            q.pop_front();
        }
        return Handshake::Ack;
    }

private:
    void Event(std::string e)
    {
        std::lock_guard<std::mutex> lk(mu_);
        events_.push_back(std::move(e));
    }
    std::mutex mu_;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> in_;
    std::map<uint8_t, size_t> room_;
    std::map<uint8_t, std::vector<uint8_t>> received_;
    std::map<uint8_t, std::vector<size_t>> outPackets_;
    std::map<uint8_t, int> polls_;
    std::vector<std::string> events_;
    std::vector<SetupPacket> controls_;
    std::vector<std::vector<uint8_t>> controlData_;
    std::vector<int64_t> controlTimes_;
};

// A four-channel adapter: interface k has bulk IN 0x81+2k and bulk OUT 0x02+2k.
inline std::shared_ptr<TestDevice> QuadDevice()
{
    DeviceSpec d;
    d.productId = 0x6011;
    d.bcdDevice = 0x0800;
    d.iManufacturer = 1;
    d.iProduct = 2;
    ConfigurationSpec c;
    for (uint8_t k = 0; k < 4; k++)
        c.interfaces.push_back({k, 0, 0xFF, 0xFF, 0xFF, uint8_t(k == 1 ? 3 : 0),
                                {},
                                {{uint8_t(0x81 + 2 * k), 2, 64, 0}, {uint8_t(0x02 + 2 * k), 2, 64, 0}}});
    return std::make_shared<TestDevice>(d, std::vector<ConfigurationSpec>{c},
                                        std::map<uint8_t, std::u16string>{{1, u"Kwellin"}, {2, u"Quad Serial Adapter"},
                                                                          {3, u"Channel B"}});
}

// A one-channel adapter with a serial number.
inline std::shared_ptr<TestDevice> SingleDevice()
{
    DeviceSpec d;
    d.productId = 0x6001;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    ConfigurationSpec c;
    c.interfaces.push_back({0, 0, 0xFF, 0xFF, 0xFF, 0, {}, {{0x81, 2, 64, 0}, {0x02, 2, 64, 0}}});
    return std::make_shared<TestDevice>(d, std::vector<ConfigurationSpec>{c},
                                        std::map<uint8_t, std::u16string>{{2, u"Serial Adapter"}, {3, u"KW000042"}});
}

class UsbTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        host = std::make_unique<UsbHost>(HostOptions());
    }
    void TearDown() override
    {
        host.reset();
        SimTest::TearDown();
    }
    virtual UsbHost::Options HostOptions() { return {}; }

    std::unique_ptr<UsbHost> host;
};

// One URB sent the way a driver sends it: an IRP of its own with a completion routine
// that stops the completion walk; records how, where and when it completed.
class UrbRequest {
public:
    explicit UrbRequest(PDEVICE_OBJECT target, ULONG ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB) : target_(target), ioctl_(ioctl)
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(target->StackSize, FALSE);
    }
    ~UrbRequest()
    {
        if (irp_ && sent_) Wait();
        if (irp_) IoFreeIrp(irp_);
    }
    UrbRequest(const UrbRequest&) = delete;

    // Sends it; returns what IoCallDriver returned.
    NTSTATUS Send(URB* urb)
    {
        urb_ = urb;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = ioctl_;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
        submitter_ = PsGetCurrentThread();
        submittedAt = Now();
        sent_ = true;
        callStatus = IoCallDriver(target_, irp_);
        returnedAt = Now();
        return callStatus;
    }
    // Waits for the completion and returns the IRP's status.
    NTSTATUS Wait()
    {
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
        return status;
    }
    bool Done() { return KeReadStateEvent(&done_) != 0; }
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }
    PIRP Irp() const { return irp_; }
    USBD_STATUS Usbd() const { return urb_->UrbHeader.Status; }

    NTSTATUS callStatus = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = 0xFF;
    bool onSubmitterThread = false;
    bool beforeReturn = false;  // completed inside IoCallDriver
    int64_t submittedAt = -1, returnedAt = -1, completedAt = -1;
    int order = 0;  // 1, 2, ... in the order requests completed
    static inline std::atomic<int> sequence{0};

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<UrbRequest*>(context);
        self->status = irp->IoStatus.Status;
        self->irql = KeGetCurrentIrql();
        self->onSubmitterThread = PsGetCurrentThread() == self->submitter_;
        self->beforeReturn = self->returnedAt < 0;
        self->completedAt = Now();
        self->order = ++sequence;
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PDEVICE_OBJECT target_;
    ULONG ioctl_;
    PIRP irp_ = nullptr;
    URB* urb_ = nullptr;
    KEVENT done_;
    PETHREAD submitter_ = nullptr;
    bool sent_ = false;
};

// ---- URBs as drivers build them ----

inline URB DescriptorUrb(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length)
{
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, buffer,
                                 nullptr, length, nullptr);
    return urb;
}

inline URB VendorUrb(USHORT function, bool in, UCHAR request, USHORT value, USHORT index, void* buffer, ULONG length)
{
    URB urb{};
    UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request, value, index,
                          buffer, nullptr, length, nullptr);
    return urb;
}

inline URB BulkUrb(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags)
{
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                           length, flags, nullptr);
    return urb;
}

inline URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe)
{
    URB urb{};
    urb.UrbHeader.Function = function;
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

// Sends a URB and waits for it (PASSIVE_LEVEL).
inline NTSTATUS SubmitAndWait(PDEVICE_OBJECT pdo, URB* urb)
{
    UrbRequest r(pdo);
    r.Send(urb);
    return r.Wait();
}

// What a driver does to start: read the configuration, select every interface the PDO
// shows, and keep the pipe handles by endpoint address.
struct Configured {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    std::map<uint8_t, USBD_PIPE_INFORMATION> pipes;
    std::vector<USBD_INTERFACE_INFORMATION> interfaces;  // without their pipes
};

inline Configured Configure(PDEVICE_OBJECT pdo)
{
    Configured out;
    std::vector<uint8_t> config(512);
    URB d = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), (ULONG)config.size());
    if (!NT_SUCCESS(SubmitAndWait(pdo, &d))) return out;
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (PVOID start = cd;;) {
        PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(cd, start, -1, 0, -1, -1, -1);
        if (!i) break;
        list.push_back({i, nullptr});
        start = reinterpret_cast<PUCHAR>(i) + i->bLength;
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
    out.status = SubmitAndWait(pdo, urb);
    out.handle = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (auto& e : list) {
        if (!e.Interface) continue;
        out.interfaces.push_back(*e.Interface);
        for (ULONG p = 0; p < e.Interface->NumberOfPipes; p++)
            out.pipes[e.Interface->Pipes[p].EndpointAddress] = e.Interface->Pipes[p];
    }
    ExFreePool(urb);
    return out;
}

inline std::vector<uint8_t> Bytes(size_t n, uint8_t seed = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 7);
    return v;
}

// A configured single-interface device, its pipes and a way to wait in virtual time.
class SingleDeviceTest : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        device = SingleDevice();
        dev = host->Plug(device);
        model = device.get();
        Configured c = Configure(dev->Pdo());
        ASSERT_EQ(c.status, STATUS_SUCCESS);
        in = c.pipes[0x81].PipeHandle;
        out = c.pipes[0x02].PipeHandle;
    }
    URB ReadUrb(std::vector<uint8_t>& buffer);
    static void Delay(int64_t dt)
    {
        LARGE_INTEGER t = kwsim::test::Relative(dt);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }

    std::shared_ptr<TestDevice> device;
    PluggedDevice* dev = nullptr;
    TestDevice* model = nullptr;
    USBD_PIPE_HANDLE in = nullptr, out = nullptr;
};

inline URB SingleDeviceTest::ReadUrb(std::vector<uint8_t>& buffer)
{
    return BulkUrb(in, buffer.data(), (ULONG)buffer.size(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

}  // namespace kwsim::usb::test
