// The host as tests and the simulated PC see it: plugging and unplugging devices, the
// plugged device's faults and PDOs, knobs and the log.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host_internal.h"

namespace kwsim::usb {

using namespace detail;

namespace detail {

const ConfigInfo* DeviceState::Config(uint8_t value) const
{
    for (auto& c : configs)
        if (c.value == value) return &c;
    return nullptr;
}

PdoContext* DeviceState::View(int view) const
{
    for (PdoContext* ctx : pdos)
        if (ctx->view == view) return ctx;
    return nullptr;
}

namespace {

// A serial number makes the instance ID when it is one Plug and Play accepts.
bool UsableSerial(const std::u16string& s)
{
    if (s.empty() || s.size() > 100) return false;
    for (char16_t c : s)
        if (c <= 0x20 || c > 0x7F || c == ',') return false;
    return true;
}

}  // namespace

}  // namespace detail

// ---- PluggedDevice ----

const DeviceState& PluggedDevice::State() const { return static_cast<const DeviceState&>(*this); }
DeviceState& PluggedDevice::State() { return static_cast<DeviceState&>(*this); }

int PluggedDevice::Port() const { return State().port; }
bool PluggedDevice::Composite() const { return State().composite; }
Device& PluggedDevice::Model() const { return *State().model; }

bool PluggedDevice::Present() const
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    return State().present;
}

PDEVICE_OBJECT PluggedDevice::Pdo() const
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    PdoContext* ctx = State().View(-1);
    return ctx ? ctx->pdo : nullptr;
}

std::vector<PDEVICE_OBJECT> PluggedDevice::InterfacePdos() const
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    std::vector<PDEVICE_OBJECT> out;
    for (PdoContext* ctx : State().pdos)
        if (ctx->view >= 0) out.push_back(ctx->pdo);
    return out;
}

PDEVICE_OBJECT PluggedDevice::InterfacePdo(uint8_t interfaceNumber) const
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    PdoContext* ctx = State().View(interfaceNumber);
    return ctx ? ctx->pdo : nullptr;
}

PDEVICE_OBJECT PluggedDevice::FunctionPdo(uint8_t interfaceNumber) const
{
    return Composite() ? InterfacePdo(interfaceNumber) : Pdo();
}

void PluggedDevice::FailControl(int count, USBD_STATUS status)
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    for (int i = 0; i < count; i++) State().controlFaults.push_back({ControlFault::What::Fail, status});
}

void PluggedDevice::StallControl(int count)
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    for (int i = 0; i < count; i++) State().controlFaults.push_back({ControlFault::What::Stall, USBD_STATUS_STALL_PID});
}

void PluggedDevice::HangControl(int count)
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    for (int i = 0; i < count; i++) State().controlFaults.push_back({ControlFault::What::Hang, USBD_STATUS_SUCCESS});
}

void PluggedDevice::FailBulk(uint8_t endpointAddress, int count, USBD_STATUS status)
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    for (int i = 0; i < count; i++) State().bulkFaults[endpointAddress].push_back({BulkFault::What::Fail, status, 0});
}

void PluggedDevice::ShortBulk(uint8_t endpointAddress, ULONG bytes, int count)
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    for (int i = 0; i < count; i++)
        State().bulkFaults[endpointAddress].push_back({BulkFault::What::Short, USBD_STATUS_SUCCESS, bytes});
}

void PluggedDevice::ClearFaults()
{
    std::lock_guard<std::mutex> lk(State().core->mu);
    State().controlFaults.clear();
    State().bulkFaults.clear();
}

void PluggedDevice::Unplug()
{
    DeviceState& d = State();
    Core& core = *d.core;
    std::function<void(PluggedDevice&, bool)> presence;
    {
        std::lock_guard<std::mutex> lk(core.mu);
        if (!d.present) return;
        d.present = false;
        core.FailAll(&d, USBD_STATUS_DEVICE_GONE);
        d.model->Detached();
        core.ScheduleTick();
        presence = core.presence;
    }
    if (presence) presence(*this, false);
}

// ---- UsbHost ----

UsbHost::UsbHost() : UsbHost(Options{}) {}

UsbHost::UsbHost(Options options) : core_(std::make_shared<Core>())
{
    core_->options = options;
    core_->hub = CreateDriverObject(u"\\Driver\\KwSimUsbHub");
    for (auto& f : core_->hub->MajorFunction) f = HubDispatch;
    core_->completion = StartServiceThread("USB completion", DISPATCH_LEVEL);
}

UsbHost::~UsbHost()
{
    for (PluggedDevice* d : Devices()) d->Unplug();
    std::vector<PdoContext*> unowned;
    {
        std::lock_guard<std::mutex> lk(core_->mu);
        core_->stopped = true;
        if (core_->tickAt) CancelScheduled(core_->tickId);
        core_->tickAt.reset();
        for (auto& d : core_->devices)
            for (PdoContext* ctx : d->pdos)
                if (!ctx->pdo->AttachedDevice) unowned.push_back(ctx);
    }
    // What the unplugging completed runs before the thread ends.
    StopServiceThread(core_->completion);
    // A PDO that still has a driver on it stays: removing it is Plug and Play's part, and
    // the kernel reports it at shutdown if nobody does.
    for (PdoContext* ctx : unowned) DeletePdo(ctx);
}

PluggedDevice* UsbHost::Plug(std::shared_ptr<Device> model)
{
    Core& core = *core_;
    auto owned = std::make_unique<DeviceState>();
    DeviceState& d = *owned;
    d.core = &core;
    d.model = std::move(model);
    d.link.core = core_;
    d.link.dev = &d;
    std::function<void(PluggedDevice&, bool)> presence;
    {
        std::lock_guard<std::mutex> lk(core.mu);
        std::vector<uint8_t> dd = d.model->DeviceDescriptor();
        if (dd.size() < sizeof(USB_DEVICE_DESCRIPTOR) || dd[0] < sizeof(USB_DEVICE_DESCRIPTOR) ||
            dd[1] != USB_DEVICE_DESCRIPTOR_TYPE)
            return nullptr;
        memcpy(&d.descriptor, dd.data(), sizeof d.descriptor);
        for (uint8_t i = 0; i < d.descriptor.bNumConfigurations; i++) {
            ConfigInfo config;
            if (ParseConfiguration(d.model->ConfigurationDescriptor(i), config)) d.configs.push_back(std::move(config));
        }
        // Ports are numbered from 1; a device takes the lowest one no present device uses.
        for (d.port = 1;; d.port++) {
            bool used = false;
            for (auto& other : core.devices) used |= other->present && other->port == d.port;
            if (!used) break;
        }
        const USB_DEVICE_DESCRIPTOR& desc = d.descriptor;
        bool compositeClass = desc.bDeviceClass == 0 ||
                              (desc.bDeviceClass == 0xEF && desc.bDeviceSubClass == 2 && desc.bDeviceProtocol == 1);
        d.composite = compositeClass && !d.configs.empty() && d.configs[0].interfaceNumbers.size() > 1;
        std::u16string serial =
            desc.iSerialNumber ? StringDescriptorText(d.model->StringDescriptor(desc.iSerialNumber, 0x0409)) : u"";
        d.serialInstance = UsableSerial(serial);
        if (d.serialInstance) {
            d.instanceId = serial;
        } else {
            char buf[32];
            snprintf(buf, sizeof buf, "6&1D5F2C39&0&%d", d.port);
            d.instanceId.assign(buf, buf + strlen(buf));
        }
        if (!CreatePdos(core, d)) {
            for (PdoContext* ctx : std::vector<PdoContext*>(d.pdos)) {
                ctx->magic = 0;
                IoDeleteDevice(ctx->pdo);
                delete ctx;
            }
            return nullptr;
        }
        d.model->Attached(d.link);
        if (d.composite) {
            // The composite parent driver configures the device before its children start.
            d.configuration = d.configs[0].value;
            d.configHandle = core.NewHandle();
            for (uint8_t n : d.configs[0].interfaceNumbers) d.alternates[n] = 0;
            d.model->SetConfiguration(d.configuration);
        }
        core.devices.push_back(std::move(owned));
        presence = core.presence;
    }
    if (presence) presence(d, true);
    return &d;
}

std::vector<PluggedDevice*> UsbHost::Devices() const
{
    std::lock_guard<std::mutex> lk(core_->mu);
    std::vector<PluggedDevice*> out;
    for (auto& d : core_->devices) out.push_back(d.get());
    return out;
}

void UsbHost::SetCompletion(Completion completion)
{
    std::lock_guard<std::mutex> lk(core_->mu);
    core_->options.completion = completion;
}

Completion UsbHost::GetCompletion() const
{
    std::lock_guard<std::mutex> lk(core_->mu);
    return core_->options.completion;
}

void UsbHost::SetPresenceHandler(std::function<void(PluggedDevice&, bool)> handler)
{
    std::lock_guard<std::mutex> lk(core_->mu);
    core_->presence = std::move(handler);
}

PDRIVER_OBJECT UsbHost::HubDriver() const { return core_->hub; }

}  // namespace kwsim::usb
