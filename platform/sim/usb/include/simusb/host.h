// The simulated USB host of the simulated PC: a root hub with full-speed devices, their
// physical device objects, the URB engine behind IOCTL_INTERNAL_USB_SUBMIT_URB, fault
// injection and a log of every request.
//
// Plugging a device creates its device PDO and, for a composite device (more than one
// interface, device class 0), one child PDO per interface ("...&MI_nn"), as the Windows
// hub and composite drivers report them. A request sent to an interface PDO sees only
// that interface: its part of the configuration descriptor, its select-configuration,
// its pipes.
//
// Timing (virtual time, 1 ms frames; frame F runs at F ms):
//  - A request submitted at time t is served from the first frame that starts after t.
//  - Control transfers go one at a time per device. Setup, each data packet (of
//    bMaxPacketSize0) and the status stage are packets; kControlPacketsPerFrame of them
//    fit in a frame. The transfer completes at the end of the frame of its last packet.
//  - Bulk and interrupt transfers share kBulkPacketsPerFrame packets per frame per device,
//    one packet per endpoint with work in turn; each frame the turn starts one endpoint
//    further, so an odd packet goes round fairly. A
//    transfer completes at the end of the frame of its last packet: when its length is
//    reached or, IN, at a packet shorter than wMaxPacketSize.
//  - A NAK parks the endpoint until the device calls EndpointReady; a parked or idle
//    host schedules nothing, so an idle machine stays idle.
//  - IOCTL_INTERNAL_USB_RESET_PORT takes kPortResetTime from the next frame on; the
//    device's transfers wait meanwhile.
//  - Cancellation, aborts and unplugging complete requests at once.
// Completions run at DISPATCH_LEVEL on the host's completion thread ("USB completion"),
// in the order the host finished them. With Completion::Inline a request the host can
// finish when it is submitted (the device answers at once, there is room, data is
// ready) is served without frames and completed inside IoCallDriver at DISPATCH_LEVEL;
// the rest still completes on the completion thread. Requests the host refuses (bad
// parameters, device gone) complete inside IoCallDriver at the caller's IRQL, as on
// Windows.
//
// Lifetime: create the host after Boot and destroy it before Shutdown. Destroying it
// unplugs every device and deletes the PDOs that no driver is attached to.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kwplat/usb.h"
#include "simkernel/sim.h"
#include "simusb/device.h"
#include "simusb/log.h"

namespace kwsim::usb {

constexpr int64_t kFrame = kMs;
constexpr int kBulkPacketsPerFrame = 19;
constexpr int kControlPacketsPerFrame = 3;
constexpr int64_t kPortResetTime = 20 * kMs;

enum class Completion { Async, Inline };

// Sync points of the host (simkernel/syncpoint.h).
namespace sync {
inline constexpr const char* kHostCancel = "UsbHostCancel";  // the cancel routine, before it takes the request
}

namespace detail {
struct Core;
struct DeviceState;
}  // namespace detail

// A device plugged into a port of the host. Owned by the host; valid until the host is
// destroyed, also after the device is unplugged.
class PluggedDevice {
public:
    int Port() const;
    bool Present() const;
    bool Composite() const;
    Device& Model() const;
    // The device PDO, and for a composite device the interface PDOs in ascending
    // interface number (empty otherwise). A PDO stays until Plug and Play removes it
    // after the device is gone, or until the host is destroyed.
    PDEVICE_OBJECT Pdo() const;
    std::vector<PDEVICE_OBJECT> InterfacePdos() const;
    PDEVICE_OBJECT InterfacePdo(uint8_t interfaceNumber) const;  // null if there is none
    // The PDO a function driver loads on: the interface PDO of a composite device,
    // otherwise the device PDO.
    PDEVICE_OBJECT FunctionPdo(uint8_t interfaceNumber = 0) const;

    // ---- fault injection, each for the device's next requests of the kind ----
    // The next `count` control transfers fail with `status` (USBD_STATUS_XACT_ERROR and
    // similar transaction errors) in their first frame.
    void FailControl(int count, USBD_STATUS status = USBD_STATUS_XACT_ERROR);
    // The next `count` control transfers are stalled by the device.
    void StallControl(int count = 1);
    // The next `count` control transfers never complete (until cancelled or unplugged).
    void HangControl(int count = 1);
    // The next `count` bulk transfers on the endpoint fail in their first frame with
    // `status`, moving no data; USBD_STATUS_STALL_PID also halts the endpoint.
    void FailBulk(uint8_t endpointAddress, int count, USBD_STATUS status);
    // The next `count` bulk transfers on the endpoint end successfully after `bytes`.
    void ShortBulk(uint8_t endpointAddress, ULONG bytes, int count = 1);
    void ClearFaults();

    // Pulls the device: pending requests complete with USBD_STATUS_DEVICE_GONE (and
    // STATUS_DEVICE_NOT_CONNECTED), later ones fail so at once, and the PDOs report
    // themselves removed (PNP_DEVICE_REMOVED) and are deleted by IRP_MN_REMOVE_DEVICE.
    void Unplug();

protected:
    PluggedDevice() = default;
    ~PluggedDevice() = default;

private:
    const detail::DeviceState& State() const;
    detail::DeviceState& State();
};

class UsbHost {
public:
    struct Options {
        Completion completion = Completion::Async;
        // Records kept, the oldest going first (each keeps its data bytes); 0 keeps none.
        size_t logCapacity = 10000;
    };
    UsbHost();
    explicit UsbHost(Options options);
    ~UsbHost();
    UsbHost(const UsbHost&) = delete;
    UsbHost& operator=(const UsbHost&) = delete;

    // Plugs a device into the next free port: reads its descriptors, attaches it,
    // configures a composite device (as its parent driver does) and creates its PDOs.
    // Null when the device descriptor is not valid. Called at PASSIVE_LEVEL.
    PluggedDevice* Plug(std::shared_ptr<Device> device);
    std::vector<PluggedDevice*> Devices() const;

    void SetCompletion(Completion completion);
    Completion GetCompletion() const;

    // Called after a device was plugged (true) or unplugged (false), in that caller's
    // context; the Plug and Play manager of the simulated PC hooks in here.
    void SetPresenceHandler(std::function<void(PluggedDevice&, bool present)> handler);

    // ---- the request log ----
    std::vector<UrbRecord> Log() const;
    std::string LogText() const;  // one line per request
    void ClearLog();
    // Called with each request's record when it completes, from the completing context
    // with the host's lock held: it must not call into the host or wait.
    void SetLogObserver(std::function<void(const UrbRecord&)> observer);

    // The host's hub driver object, owner of every PDO it creates.
    PDRIVER_OBJECT HubDriver() const;

private:
    std::shared_ptr<detail::Core> core_;
};

}  // namespace kwsim::usb
