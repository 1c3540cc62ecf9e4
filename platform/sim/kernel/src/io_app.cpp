// Application requests: file objects on devices and the IRPs an application's calls make.
#include <cstring>

#include "io_internal.h"
#include "simkernel/app.h"

namespace kwsim {

struct AppRequest::State {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    std::atomic<bool> finished{false};
    int64_t completedAt = -1;
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_PENDING;
};

using namespace detail;

namespace {

AppResult Immediate(std::shared_ptr<AppRequest::State>& s, NTSTATUS status)
{
    s->status = status;
    s->completedAt = Now();
    s->finished = true;
    KeSetEvent(&s->done, 0, FALSE);
    return {status, 0};
}

// Sends a create, cleanup or close for the file and waits for it.
NTSTATUS SendFileRequest(PDEVICE_OBJECT target, PFILE_OBJECT file, UCHAR major)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(major, target, nullptr, 0, nullptr, &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    if (major == IRP_MJ_CREATE) irp->Flags |= IRP_CREATE_OPERATION;
    if (major == IRP_MJ_CLOSE) irp->Flags |= IRP_CLOSE_OPERATION;
    NTSTATUS st = IoCallDriver(target, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    (void)st;
    return iosb.Status;
}

void DestroyFile(void* body) { static_cast<PFILE_OBJECT>(body)->~FILE_OBJECT(); }

// The last reference to a closed handle's file object is gone: IRP_MJ_CLOSE, at
// PASSIVE_LEVEL, then the file object goes.
void SendClose(PFILE_OBJECT file)
{
    PDEVICE_OBJECT target, device;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        target = IO.files[file]->target;
        device = IO.files[file]->device;
    }
    SendFileRequest(target, file, IRP_MJ_CLOSE);
    std::lock_guard<std::mutex> lk(K.mu);
    IO.files.erase(file);
    DereferenceLocked(file);
    DereferenceLocked(device);
}

void QueueClose(PFILE_OBJECT file)
{
    PIO_WORKITEM item;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        item = IoAllocateWorkItem(IO.files[file]->device);
    }
    if (!item) Fatal("no memory to close a file object");
    IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID context) {
        auto* args = static_cast<std::pair<PFILE_OBJECT, PIO_WORKITEM>*>(context);
        SendClose(args->first);
        IoFreeWorkItem(args->second);
        delete args;
    }, DelayedWorkQueue, new std::pair<PFILE_OBJECT, PIO_WORKITEM>(file, item));
}

}  // namespace

bool AppRequest::Done() const { return s_->finished; }

AppResult AppRequest::Wait()
{
    KeWaitForSingleObject(&s_->done, Executive, UserMode, FALSE, nullptr);
    return Result();
}

AppResult AppRequest::Result() const { return {s_->status, s_->information}; }
int64_t AppRequest::CompletedAt() const { return s_->completedAt; }

AppFile::~AppFile()
{
    if (file_ && IsBooted()) Close();
}

NTSTATUS AppFile::Open(const std::u16string& path)
{
    PDEVICE_OBJECT device = FindDevice(path);
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    return Open(device);
}

NTSTATUS AppFile::Open(PDEVICE_OBJECT device)
{
    if (file_) return STATUS_INVALID_PARAMETER;
    if (Current()->irql != PASSIVE_LEVEL) Verify("an application request above PASSIVE_LEVEL");
    PFILE_OBJECT file;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        if (device->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING) return STATUS_NO_SUCH_DEVICE;
        if (device->Flags & DO_EXCLUSIVE)
            for (auto& [f, state] : IO.files)
                if (state->device == device) return STATUS_ACCESS_DENIED;
        file = new (AllocateObject(&gFileObjectType, sizeof(FILE_OBJECT), DestroyFile)) FILE_OBJECT{};
        file->Type = IO_TYPE_FILE;
        file->Size = sizeof(FILE_OBJECT);
        file->DeviceObject = device;
        file->ReadAccess = file->WriteAccess = TRUE;
        auto state = std::make_unique<AppFileState>();
        state->device = device;
        PDEVICE_OBJECT top = device;
        while (top->AttachedDevice) top = top->AttachedDevice;
        state->target = top;
        IO.files[file] = std::move(state);
        HeaderOf(device)->refs++;
    }
    PDEVICE_OBJECT target = IO.files[file]->target;
    NTSTATUS st = SendFileRequest(target, file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(st)) {
        std::lock_guard<std::mutex> lk(K.mu);
        IO.files.erase(file);
        DereferenceLocked(file);
        DereferenceLocked(device);
        return st;
    }
    file_ = file;
    target_ = target;
    return STATUS_SUCCESS;
}

NTSTATUS AppFile::Close()
{
    if (!file_) return STATUS_INVALID_HANDLE;
    PFILE_OBJECT file = file_;
    PDEVICE_OBJECT target = target_;
    file_ = nullptr;
    target_ = nullptr;
    NTSTATUS st = SendFileRequest(target, file, IRP_MJ_CLEANUP);
    // The close comes when the last reference to the file goes: every request of the
    // handle holds one, so a request still pending defers it.
    bool now;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        AppFileState& state = *IO.files[file];
        state.closing = true;
        now = state.pending.empty();
    }
    if (now) SendClose(file);
    return st;
}

AppRequest AppFile::Send(UCHAR major, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG code)
{
    auto s = std::make_shared<AppRequest::State>();
    KeInitializeEvent(&s->done, NotificationEvent, FALSE);
    AppRequest request(s, Now());
    if (!file_) {
        Immediate(s, STATUS_INVALID_HANDLE);
        return request;
    }
    PIRP irp = IoAllocateIrp(target_->StackSize, FALSE);
    if (!irp) {
        Immediate(s, STATUS_INSUFFICIENT_RESOURCES);
        return request;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file_;
    IrpInfo info;
    info.threaded = true;
    bool reading = major == IRP_MJ_READ || (major == IRP_MJ_DEVICE_CONTROL && out && outLength);
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        ULONG length = major == IRP_MJ_READ ? outLength : inLength;
        next->Parameters.Read.Length = length;
        void* user = major == IRP_MJ_READ ? out : const_cast<void*>(in);
        bool ok = true;
        if (target_->Flags & DO_BUFFERED_IO) {
            ok = AttachSystemBuffer(irp, length, major == IRP_MJ_WRITE ? in : nullptr, length);
        } else {
            if (target_->Flags & DO_DIRECT_IO) ok = AttachMdl(irp, user, length);
            reading = false;
        }
        if (!ok) {
            IoFreeIrp(irp);
            Immediate(s, STATUS_INSUFFICIENT_RESOURCES);
            return request;
        }
        irp->UserBuffer = user;
        irp->Flags |= major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    } else if (major == IRP_MJ_DEVICE_CONTROL) {
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.InputBufferLength = inLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        ULONG method = code & 3;
        if (method == 0) {
            if (!AttachSystemBuffer(irp, inLength > outLength ? inLength : outLength, in, inLength)) {
                IoFreeIrp(irp);
                Immediate(s, STATUS_INSUFFICIENT_RESOURCES);
                return request;
            }
        } else {
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
            reading = false;
        }
        irp->UserBuffer = out;
    }
    if (reading) {
        irp->Flags |= IRP_INPUT_OPERATION;
        info.outputBuffer = out;
        info.outputLength = outLength;
    }
    irp->UserIosb = &s->iosb;
    irp->UserEvent = &s->done;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file_;
    PFILE_OBJECT file = file_;
    SimThread* thread = Current();
    info.onFinish = [s, file](PIRP finished) {
        s->status = finished->IoStatus.Status;
        s->information = finished->IoStatus.Information;
        s->completedAt = Now();
        s->finished = true;
        bool closeNow = false;
        {
            std::lock_guard<std::mutex> lk(K.mu);
            auto it = IO.files.find(file);
            if (it == IO.files.end()) return;
            auto& pending = it->second->pending;
            for (size_t i = 0; i < pending.size(); i++)
                if (pending[i].irp == finished) {
                    pending.erase(pending.begin() + (long)i);
                    break;
                }
            closeNow = pending.empty() && it->second->closing;
        }
        if (closeNow) QueueClose(file);
    };
    {
        std::lock_guard<std::mutex> lk(K.mu);
        IO.irps[irp] = std::move(info);
        IO.files[file_]->pending.push_back({irp, thread});
    }
    IoCallDriver(target_, irp);
    return request;
}

AppRequest AppFile::ReadAsync(void* buffer, ULONG length) { return Send(IRP_MJ_READ, nullptr, 0, buffer, length, 0); }
AppRequest AppFile::WriteAsync(const void* buffer, ULONG length)
{
    return Send(IRP_MJ_WRITE, buffer, length, nullptr, 0, 0);
}
AppRequest AppFile::IoctlAsync(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength)
{
    return Send(IRP_MJ_DEVICE_CONTROL, in, inLength, out, outLength, code);
}
AppRequest AppFile::FlushAsync() { return Send(IRP_MJ_FLUSH_BUFFERS, nullptr, 0, nullptr, 0, 0); }

void AppFile::Cancel(bool allThreads)
{
    if (!file_) return;
    SimThread* self = Current();
    std::vector<PIRP> victims;
    {
        std::lock_guard<std::mutex> lk(K.mu);
        for (auto& p : IO.files[file_]->pending) {
            if (!allThreads && p.thread != self) continue;
            IO.irps[p.irp].holds++;  // keeps it alive while we cancel it
            victims.push_back(p.irp);
        }
    }
    for (PIRP irp : victims) {
        IoCancelIrp(irp);
        ReleaseIrpHold(irp);
    }
}

}  // namespace kwsim

namespace kwsim::detail {

void CollectAppLeaks(std::vector<std::string>& out)
{
    for (auto& [file, state] : IO.files)
        out.push_back("an application handle on a device of " +
                      Narrow(FromUnicode(&state->device->DriverObject->DriverName)) +
                      (state->closing ? " was closed but " + std::to_string(state->pending.size()) +
                                            " of its requests never completed"
                                      : " is still open"));
}

}  // namespace kwsim::detail
