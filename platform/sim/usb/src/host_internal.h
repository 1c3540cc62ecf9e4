// Internal state of the simulated USB host, shared by its translation units.
//
// One mutex (Core::mu) guards everything; devices are called with it held (device.h).
// Driver code is never called with it held: completions go to the completion thread, or
// (inline, refused requests) are completed by the dispatch routine after unlocking.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simkernel/io.h"
#include "simusb/descriptors.h"
#include "simusb/host.h"

namespace kwsim::usb::detail {

// ---- configurations as the host understands them (config.cpp) ----

struct EndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;
    uint8_t Type() const { return attributes & 3; }
};

struct AltSetting {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t cls = 0, subClass = 0, protocol = 0;
    uint8_t iInterface = 0;
    std::vector<EndpointInfo> endpoints;
};

struct ConfigInfo {
    std::vector<uint8_t> bytes;  // the device's descriptor block
    uint8_t value = 0;
    std::vector<AltSetting> settings;  // in descriptor order
    std::vector<uint8_t> interfaceNumbers;  // distinct, ascending

    const AltSetting* Find(uint8_t number, uint8_t alternate) const;
};

// False when the block is not a configuration descriptor the host can use.
bool ParseConfiguration(const std::vector<uint8_t>& bytes, ConfigInfo& out);
// The configuration as an interface PDO shows it: the header with wTotalLength and
// bNumInterfaces adjusted, then every descriptor of that interface's settings.
std::vector<uint8_t> InterfaceView(const std::vector<uint8_t>& bytes, uint8_t interfaceNumber);

// ---- requests ----

enum class Kind { Control, Bulk, ResetPort };
enum class Where { None, Control, Endpoint, Due, Reset };

struct DeviceState;
struct Core;

struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    DeviceState* dev = nullptr;
    int view = -1;  // interface PDO it came through, -1 the device PDO
    Kind kind = Kind::Control;
    Where where = Where::None;
    uint64_t logId = 0;
    int64_t eligibleFrame = 0;  // first frame that may serve it
    bool cancelPending = false; // the cancel routine owns it and will take it out

    // Requests that need no bus traffic complete when submitted, after onSubmit ran.
    bool local = false;
    std::function<void(Transfer&)> onSubmit;
    // What the request does to the host's state when it succeeds (select configuration,
    // select interface, reset pipe), run as it is delivered.
    std::function<void(Transfer&)> onSuccess;

    // Control: the setup packet and the data stage.
    SetupPacket setup;
    uint8_t* buffer = nullptr;
    ULONG length = 0;
    ULONG* lengthField = nullptr;  // the URB's TransferBufferLength
    bool started = false;       // setup stage ran; outcome known unless hung
    bool hung = false;
    bool faultChecked = false;  // bulk: the endpoint's faults were looked at
    // Select configuration: the interfaces whose alternate setting is not 0.
    std::vector<std::pair<uint8_t, uint8_t>> alternates;

    // Bulk: the endpoint and the progress.
    uint8_t endpoint = 0;
    ULONG flags = 0;
    ULONG done = 0;
    ULONG limit = 0;            // a short-transfer fault ends it here

    // Outcome.
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    int64_t dueAt = 0;          // when its completion is delivered (Where::Due)
};

struct ControlFault {
    enum class What { Fail, Stall, Hang } what;
    USBD_STATUS status;
};

struct BulkFault {
    enum class What { Fail, Short } what;
    USBD_STATUS status;
    ULONG bytes;
};

struct Endpoint {
    EndpointInfo info;
    std::deque<Transfer*> queue;
    bool parked = false;        // the device NAKed: wait for EndpointReady
    int64_t readyFrame = 0;     // first frame it may be polled again
    bool halted = false;
};

struct Pipe {
    uint8_t endpoint = 0;
    uint8_t iface = 0;
    int view = -1;              // the PDO that selected it
    ULONG maximumTransferSize = 0;
};

struct PdoContext {
    static constexpr uint64_t kMagic = 0x4B57555342504430ull;  // "KWUSBPD0"
    uint64_t magic = kMagic;
    std::shared_ptr<Core> core;
    DeviceState* dev = nullptr;
    int view = -1;
    PDEVICE_OBJECT pdo = nullptr;
};

class Link final : public DeviceLink {
public:
    void EndpointReady(uint8_t endpointAddress) override;
    std::weak_ptr<Core> core;
    DeviceState* dev = nullptr;
};

struct DeviceState final : PluggedDevice {
    Core* core = nullptr;
    std::shared_ptr<Device> model;
    int port = 0;
    bool present = true;
    bool composite = false;
    USB_DEVICE_DESCRIPTOR descriptor{};
    std::vector<ConfigInfo> configs;
    std::u16string instanceId;
    bool serialInstance = false;               // the instance ID is the serial number
    Link link;

    // PDOs: [0] the device, then the interfaces of a composite device.
    std::vector<PdoContext*> pdos;

    // Bus state.
    uint8_t configuration = 0;                 // bConfigurationValue, 0 unconfigured
    uintptr_t configHandle = 0;
    std::map<uint8_t, uint8_t> alternates;     // interface -> alternate setting
    std::map<uint8_t, Endpoint> endpoints;     // by address, of the selected settings
    std::map<uintptr_t, Pipe> pipes;           // by handle
    std::deque<Transfer*> control;             // EP0, head first
    int64_t controlFreeAt = 0;                 // EP0 carries the next transfer from then
    std::deque<ControlFault> controlFaults;
    std::map<uint8_t, std::deque<BulkFault>> bulkFaults;  // by endpoint address
    std::atomic<uint32_t> readyPending{0};     // endpoints with an EndpointReady on its way
    std::vector<Transfer*> resets;             // port resets in progress
    int64_t resetUntil = -1;                   // the port is in reset until then
    uint8_t firstOfTurn = 0;                   // the endpoint that went first in the last frame

    const ConfigInfo* Config(uint8_t value) const;
    PdoContext* View(int view) const;          // the PDO context of a view
};

struct Core : std::enable_shared_from_this<Core> {
    std::mutex mu;
    UsbHost::Options options;
    PDRIVER_OBJECT hub = nullptr;
    ServiceThread* completion = nullptr;
    bool stopped = false;                      // the facade is gone
    std::vector<std::unique_ptr<DeviceState>> devices;
    std::function<void(PluggedDevice&, bool)> presence;
    uintptr_t nextHandle = 0x10000;
    int nextPdoName = 0;

    // The frame engine.
    std::multimap<int64_t, Transfer*> due;     // outcome known, delivered at that time
    int64_t lastFrame = -1;                    // the last frame served
    std::optional<int64_t> tickAt;
    uint64_t tickId = 0;

    // The log.
    std::deque<UrbRecord> log;
    uint64_t nextLogId = 1;
    std::function<void(const UrbRecord&)> observer;

    std::vector<PIRP>* outbox = nullptr;

    // ---- engine.cpp ----
    // IOCTL_INTERNAL_USB_SUBMIT_URB, _RESET_PORT and _GET_PORT_STATUS (mu not held).
    NTSTATUS Internal(PdoContext* ctx, PIRP irp);
    void Ready(DeviceState* dev, uint8_t endpoint);  // an EndpointReady, from the timeline
    bool TryNow(Transfer* t);                        // inline completion: serve it at once
    void Queue(Transfer* t);
    void Tick(int64_t due);
    void DeliverDue(int64_t now);
    void RunControl(DeviceState& dev, int64_t frame);
    void RunBulk(DeviceState& dev, int64_t frame);
    void FinishReset(DeviceState& dev);
    void ScheduleTick();
    void Cancel(PIRP irp);                           // the cancel routine's part
    void FailAll(DeviceState* dev, USBD_STATUS usbd);
    // Takes the transfer out of where it waits.
    void Remove(Transfer* t);
    // Fills in the URB, the IRP and the log and frees the transfer; the IRP goes to the
    // completion thread, or into `outbox` while a dispatch routine that completes inline
    // has set it (it completes them after releasing mu).
    void Deliver(Transfer* t);
    // Clears the cancel routine of a queued transfer; false: a cancel is under way and
    // the cancel routine will take it.
    bool Claim(Transfer* t);
    void Abort(DeviceState* dev, uint8_t endpoint);
    void ClosePipes(DeviceState* dev, const std::function<bool(const Pipe&)>& which);
    void OpenInterface(DeviceState& dev, USBD_INTERFACE_INFORMATION& info, const AltSetting& setting, int view);
    uintptr_t NewHandle() { return nextHandle += 0x10; }

    // ---- log.cpp ----
    uint64_t LogSubmit(const Transfer& t, ULONG ioctl);
    void LogComplete(const Transfer& t);
    UrbRecord* Record(uint64_t id);
};

// urb.cpp: what the URB asks for, or why the stack refuses it.
USBD_STATUS Decode(Core& core, Transfer& t);
NTSTATUS NtFromUsbd(USBD_STATUS usbd);  // the IRP status the stack gives a URB status

// pdo.cpp
NTSTATUS HubDispatch(PDEVICE_OBJECT pdo, PIRP irp);
PdoContext* ContextOf(PDEVICE_OBJECT pdo);
bool CreatePdos(Core& core, DeviceState& dev);  // false: IoCreateDevice failed
void DeletePdo(PdoContext* ctx);  // at PASSIVE_LEVEL, mu not held

inline int64_t FrameAfter(int64_t t) { return t / kFrame + 1; }
inline uint32_t ReadyBit(uint8_t address) { return 1u << ((address & 0x0F) | (address & 0x80 ? 16 : 0)); }

}  // namespace kwsim::usb::detail
