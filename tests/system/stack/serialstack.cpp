#include "serialstack.h"

#include <string>

#include "kwiserial.h"
#include "simkernel/io.h"
#include "usbdescription.h"

namespace kwsim::system {

namespace {

std::u16string Wide(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    return status;
}

}  // namespace

SerialChannel::SerialChannel(kwsim::usb::PluggedDevice* adapter, unsigned index, const KW_BUS_CHANNEL_PARAMETERS* bus)
    : index_(index)
{
    if (bus) {
        haveBus_ = true;
        bus_ = *bus;
    }
    function_ = adapter->FunctionPdo(uint8_t(index));
    if (!function_) return;
    // What the installation writes for the channel's function: its two bulk endpoints.
    kwsim::test::WriteUsbDescription(function_,
                                     kwsim::test::ChannelDescription(uint8_t(index), uint8_t(0x81 + 2 * index),
                                                                     uint8_t(0x02 + 2 * index)));
    child_ = CreatePdo(u"\\Device\\KwUBusChannel" + Wide(std::to_string(index + 1)), [this](PDEVICE_OBJECT, PIRP irp) {
        return std::optional<NTSTATUS>(Handle(irp));
    });
    if (child_) host_ = std::make_unique<kwsim::test::PortHost>(child_, index);
    if (host_) host_->triggerUpdateAtOpen = true;
}

SerialChannel::~SerialChannel()
{
    host_.reset();  // the port object gives its record back
    std::vector<Lent> left;
    {
        std::lock_guard<std::mutex> lk(mu_);
        left.swap(lent_);
    }
    for (const Lent& l : left) {
        l.engine->m_DeInit();
        delete l.engine;
    }
    if (child_) DeletePdo(child_);
}

bool SerialChannel::Start()
{
    return host_ && host_->jn && host_->CreateVcp(&parameters, index_ + 1);
}

void SerialChannel::Stop()
{
    if (host_) host_->DeleteVcp();
}

CFTDI1Port* SerialChannel::Engine()
{
    std::lock_guard<std::mutex> lk(mu_);
    return lent_.empty() ? nullptr : lent_.back().engine;
}

std::vector<ULONG> SerialChannel::PowerRequests()
{
    std::lock_guard<std::mutex> lk(mu_);
    return power_;
}

BOOLEAN SerialChannel::m_GotoPowerState(ULONG state)
{
    std::lock_guard<std::mutex> lk(mu_);
    power_.push_back(state);
    return TRUE;
}

// The child's two requests, as the bus driver's child device answers them.
NTSTATUS SerialChannel::Handle(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    if (code == IOCTL_CREATE_KWISERIAL) {
        if (!buffer || in != sizeof(CreateKwISerialRequestStruct) || out != sizeof(CreateKwISerialResponseStruct))
            return Finish(irp, STATUS_INVALID_PARAMETER);
        auto* request = static_cast<CreateKwISerialRequestStruct*>(buffer);
        if (request->ulInterfaceVersion != KWISERIAL_INTERFACE_VERSION || request->ulPortNumber != index_ + 1)
            return Finish(irp, STATUS_INVALID_PARAMETER);
        CFTDI1Port* engine = nullptr;
        ISerial* record = nullptr;
        NTSTATUS status = KwUBusCreateChannel(this, index_ + 1, haveBus_ ? &bus_ : nullptr, &engine, &record);
        if (!NT_SUCCESS(status)) return Finish(irp, status);
        {
            std::lock_guard<std::mutex> lk(mu_);
            lent_.push_back({engine, record});
        }
        static_cast<CreateKwISerialResponseStruct*>(buffer)->pISerial = record;
        return Finish(irp, STATUS_SUCCESS, sizeof(CreateKwISerialResponseStruct));
    }
    if (code == IOCTL_RELEASE_KWISERIAL) {
        if (!buffer || in != sizeof(ReleaseKwISerialRequestStruct)) return Finish(irp, STATUS_INVALID_PARAMETER);
        auto* release = static_cast<ReleaseKwISerialRequestStruct*>(buffer);
        CFTDI1Port* engine = nullptr;
        {
            std::lock_guard<std::mutex> lk(mu_);
            for (auto it = lent_.begin(); it != lent_.end(); ++it) {
                if (it->record != release->pISerial) continue;
                engine = it->engine;
                lent_.erase(it);
                break;
            }
        }
        if (!engine) return Finish(irp, STATUS_INVALID_PARAMETER);
        engine->m_DeInit();
        delete engine;
        return Finish(irp, STATUS_SUCCESS);
    }
    return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
}

SerialAdapter::SerialAdapter(kwsim::usb::UsbHost& host, int channels, const KW_BUS_CHANNEL_PARAMETERS* bus)
{
    chip_ = kwsim::chip::Chip::Create({.channels = channels});
    plugged_ = host.Plug(chip_);
    if (!plugged_) return;
    for (int k = 0; k < channels; k++) channels_.push_back(std::make_unique<SerialChannel>(plugged_, unsigned(k), bus));
}

SerialAdapter::~SerialAdapter()
{
    channels_.clear();
}

}  // namespace kwsim::system
