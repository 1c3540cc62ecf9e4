// The simulated I/O manager seen from tests and the other parts of the simulated PC:
// the object namespace, a simple bus for physical device objects, and requests sent the
// way the I/O and Plug and Play managers send them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "simkernel/sim.h"

namespace kwsim {

// ---- object namespace ("\Device", "\??" = "\DosDevices", "\Callback") ----
// The device object a name leads to (symbolic links followed), or null.
PDEVICE_OBJECT FindDevice(const std::u16string& path);
// Target of a symbolic link ("" when there is none).
std::u16string SymbolicLinkTarget(const std::u16string& link);
// Names directly inside a directory ("\Device", "\??", "\Callback"), sorted.
std::vector<std::u16string> NamespaceEntries(const std::u16string& directory);
std::u16string DeviceName(PDEVICE_OBJECT device);  // "" for an unnamed device

// A driver object without a module, for the simulated PC's own drivers (buses, host
// controllers) and for tests. Every MajorFunction answers STATUS_INVALID_DEVICE_REQUEST
// until the caller sets it. Freed at shutdown.
PDRIVER_OBJECT CreateDriverObject(const std::u16string& name);

// ---- a simulated bus for physical device objects ----
// A PDO of the built-in bus driver "\Driver\KwSimBus". Its default answers: the state
// changes of Plug and Play succeed, capabilities are filled, TargetDeviceRelation gives
// the PDO; other Plug and Play requests keep their status; power requests succeed; every
// other request fails with STATUS_INVALID_DEVICE_REQUEST. A handler may answer first
// (return a status to complete the IRP with it, nullopt for the default).
using PdoHandler = std::function<std::optional<NTSTATUS>(PDEVICE_OBJECT pdo, PIRP irp)>;
PDEVICE_OBJECT CreatePdo(const std::u16string& name = u"", PdoHandler handler = {});
void DeletePdo(PDEVICE_OBJECT pdo);
// Runs the driver's AddDevice for the PDO at PASSIVE_LEVEL, as the PnP manager does.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// ---- device instances ----
// A device's instance path as Plug and Play builds it from its bus driver's answers to
// IRP_MN_QUERY_ID: device ID, a backslash, instance ID (for example
// u"USB\\VID_1209&PID_6011&MI_00\\7&2A1B3C4D&0&0000"). Empty when the device object is no
// PDO or its bus driver does not answer both. Called at PASSIVE_LEVEL.
std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo);
// The key IoOpenDeviceRegistryKey opens for PLUGPLAY_REGKEY_DEVICE, below
// u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum": the instance path followed by
// "Device Parameters" (empty like the instance path). A device's installation data goes there.
std::u16string DeviceParametersKeyPath(PDEVICE_OBJECT pdo);

// ---- requests ----
struct IrpResult {
    NTSTATUS status;
    ULONG_PTR information;
};
// Builds an IRP for the stack that `target` is the top of, lets `setup` fill it and the
// next stack location, sends it and waits for it to complete (any thread, any time).
IrpResult SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup = {});
// A Plug and Play request as the PnP manager sends it (status STATUS_NOT_SUPPORTED
// until a driver answers), to the top of the PDO's stack.
IrpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {});
// A (internal) device control through IoBuildDeviceIoControlRequest.
IrpResult SendIoctl(PDEVICE_OBJECT target, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                    bool internal = false);

// IRPs allocated and not yet freed (for tests of leak paths).
size_t LiveIrpCount();

}  // namespace kwsim
