// The package's serial path on the simulated PC, joined end to end: a chip plugged into the
// USB host; for each channel a bus device on the channel's USB function, the channel's
// child device that answers the port's create and release requests with channel engines
// (what the bus driver's child does), and the port driver's framework device with its port
// object on top. Applications open the port device and talk to it with serial requests.
//
//   application ─ AppFile ─▶ port device (framework queues, CVCP)
//                                 │ IOCTL_CREATE_KWISERIAL / RELEASE, ISerial calls
//                                 ▼
//                            channel child ─▶ CFTDI1Port ─▶ CUSBTransport ─▶ USB host ─▶ chip ─▶ line
//
// Used by the system tests, the main job and the benchmarks.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "ftdi1port.h"
#include "kwubuschannel.h"
#include "porthost.h"
#include "simchip/chip.h"
#include "simusb/host.h"
#include "vcpparameters.h"

namespace kwsim::system {

// One channel of the adapter, from its USB function up to the port device.
class SerialChannel : public CKwUsbBusDevice {
public:
    // `index` 0 is channel A. The port number is index + 1. `bus` null: the engine keeps its
    // defaults, as for a device without a parameter set.
    SerialChannel(kwsim::usb::PluggedDevice* adapter, unsigned index, const KW_BUS_CHANNEL_PARAMETERS* bus = nullptr);
    virtual ~SerialChannel();
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // The port object on the port device, with `parameters` (kept by the caller): false
    // when its start failed.
    bool Start();
    // The port object goes (its record back to the child), as at removal.
    void Stop();

    PDEVICE_OBJECT PortDevice() const { return host_ ? host_->device : nullptr; }
    PDEVICE_OBJECT FunctionPdo() const { return function_; }
    CVCP* Vcp() const { return host_ ? host_->vcp : nullptr; }
    CJnDevice* Jn() const { return host_ ? host_->jn : nullptr; }
    // The engine lent to the port now; null when none is.
    CFTDI1Port* Engine();
    // Power requests the engines made of the bus device (D0 = 1, D3 = 4).
    std::vector<ULONG> PowerRequests();

    CVcpParameters parameters;

    // ---- CKwUsbBusDevice ----
    PDEVICE_OBJECT m_GetPhysicalDeviceObject() override { return function_; }
    BOOLEAN m_GotoPowerState(ULONG state) override;

private:
    NTSTATUS Handle(PIRP irp);

    struct Lent {
        CFTDI1Port* engine;
        ISerial* record;
    };
    unsigned index_;
    bool haveBus_ = false;
    KW_BUS_CHANNEL_PARAMETERS bus_{};
    PDEVICE_OBJECT function_ = nullptr;
    PDEVICE_OBJECT child_ = nullptr;
    std::unique_ptr<kwsim::test::PortHost> host_;
    std::mutex mu_;
    std::vector<Lent> lent_;
    std::vector<ULONG> power_;
};

// A chip of `channels` channels plugged into `host`, each channel brought up to its port
// device (not started: set the parameters, then Start each channel).
class SerialAdapter {
public:
    SerialAdapter(kwsim::usb::UsbHost& host, int channels = 4, const KW_BUS_CHANNEL_PARAMETERS* bus = nullptr);
    ~SerialAdapter();

    kwsim::chip::Chip& Chip() { return *chip_; }
    // The chip on the USB host: Unplug() pulls it out.
    kwsim::usb::PluggedDevice* Plugged() { return plugged_; }
    SerialChannel& Channel(int index) { return *channels_.at(index); }
    int Channels() const { return int(channels_.size()); }

private:
    std::shared_ptr<kwsim::chip::Chip> chip_;
    kwsim::usb::PluggedDevice* plugged_ = nullptr;
    std::vector<std::unique_ptr<SerialChannel>> channels_;
};

}  // namespace kwsim::system
