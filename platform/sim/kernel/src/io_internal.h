// Internal state of the simulated I/O manager (guarded by K.mu unless stated).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

#include "kernel_internal.h"
#include "simkernel/io.h"

namespace kwsim::detail {

struct NamespaceEntry {
    enum Kind { Device, Link, Callback } kind = Device;
    std::u16string name;    // as created (case preserved)
    void* object = nullptr;
    std::u16string target;  // links
};

enum class IrpState {
    Idle,       // allocated, not sent (or back with its owner after MORE_PROCESSING_REQUIRED)
    InDriver,   // sent with IoCallDriver and not yet completed
    Completing, // inside IoCompleteRequest's walk
    Done        // completed to the top
};

// What the driver at one stack location did with an IRP: the status its dispatch routine
// returned, and whether its location was marked pending when the completion passed it.
// The two must agree (STATUS_PENDING if and only if marked); the record outlives the IRP.
struct LocationRecord {
    int returnedPending = -1;  // -1 not yet returned
    int markedPending = -1;    // -1 completion has not passed yet
    std::string text;          // the IRP and dispatch routine, for the report
};

struct IrpInfo {
    IrpState state = IrpState::Idle;
    std::map<int, std::shared_ptr<LocationRecord>> locations;
    bool threaded = false;        // built by the I/O manager: finished by it at the top
    PVOID outputBuffer = nullptr; // METHOD_BUFFERED output to copy back
    ULONG outputLength = 0;
    std::function<void(PIRP)> onFinish;  // the originator's look at the finished IRP
    int holds = 0;                // a canceller holds the IRP: its free waits
    bool freeDeferred = false;
};

struct PendingAppIrp {
    PIRP irp;
    SimThread* thread;
};

struct AppFileState {
    PDEVICE_OBJECT device;  // the device the name led to
    PDEVICE_OBJECT target;  // the top of its stack, where requests go
    std::vector<PendingAppIrp> pending;
    bool closing = false;   // handle closed: IRP_MJ_CLOSE follows the last request
};


struct WorkItemQueue;

struct IoState {
    std::map<std::u16string, NamespaceEntry> names;  // key: upper-cased normalised path
    std::unordered_map<PIRP, IrpInfo> irps;
    ULONG nextAutoName = 0;
    KSPIN_LOCK cancelLock = 0;
    PDRIVER_OBJECT busDriver = nullptr;
    std::unordered_map<PDEVICE_OBJECT, PdoHandler> pdoHandlers;
    std::unordered_map<PFILE_OBJECT, std::unique_ptr<AppFileState>> files;
};

extern IoState IO;

std::u16string Upcase(const std::u16string& s);
std::u16string FromUnicode(PCUNICODE_STRING s);
std::string Narrow(const std::u16string& s);
std::u16string NormalizePath(const std::u16string& path);
NamespaceEntry* FindEntry(const std::u16string& path);
NTSTATUS InsertName(const std::u16string& path, NamespaceEntry entry);
void RemoveName(const std::u16string& path);

std::string IrpText(PIRP irp);
// Buffers the I/O manager attaches to an IRP it builds; false when pool is exhausted.
bool AttachSystemBuffer(PIRP irp, ULONG length, const void* input, ULONG inputLength);
bool AttachMdl(PIRP irp, void* buffer, ULONG length);
void ReleaseIrpHold(PIRP irp);  // K.mu not held
extern _OBJECT_TYPE gFileObjectType;
void CollectAppLeaks(std::vector<std::string>& out);  // K.mu held
PDRIVER_OBJECT CreateSimDriver(const std::u16string& name, PDRIVER_DISPATCH dispatch);

void CollectNamespaceLeaks(std::vector<std::string>& out);
void CollectIoLeaks(std::vector<std::string>& out);  // K.mu held
void CollectDeviceLeaks(std::vector<std::string>& out);  // K.mu held
void CollectWorkItemLeaks(std::vector<std::string>& out);  // K.mu held
void ResetWorkers();
void StopWorkers(std::unique_lock<std::mutex>& lk);
void ResetIo();  // K.mu held

}  // namespace kwsim::detail
