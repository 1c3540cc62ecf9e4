// Requests from an application of the simulated PC: open a device, read, write, device
// control, flush, cancel and close, with the IRPs built as the I/O manager builds them
// (buffered or direct I/O as the device asks, METHOD_BUFFERED copy-back of the bytes
// reported, status block and event). Requests are overlapped (a request object to wait
// on) or synchronous (the call waits). The simulated Win32 layer builds on this.
#pragma once

#include <memory>
#include <string>

#include "simkernel/sim.h"

namespace kwsim {

struct AppResult {
    NTSTATUS status;
    ULONG_PTR information;
};

class AppRequest {
public:
    bool Done() const;
    AppResult Wait();              // waits in the simulated kernel
    AppResult Result() const;      // valid once Done()
    int64_t CompletedAt() const;   // virtual time of completion (-1 while pending)
    int64_t IssuedAt() const { return issuedAt_; }

    struct State;
    explicit AppRequest(std::shared_ptr<State> s, int64_t issuedAt) : s_(std::move(s)), issuedAt_(issuedAt) {}

private:
    std::shared_ptr<State> s_;
    int64_t issuedAt_;
};

class AppFile {
public:
    AppFile() = default;
    ~AppFile();  // closes if still open
    AppFile(const AppFile&) = delete;
    AppFile& operator=(const AppFile&) = delete;

    // Opens "\??\COM5", "\Device\X" (links followed) or a device object directly; the
    // request goes to the top of the device's stack. An exclusive device already open
    // gives STATUS_ACCESS_DENIED.
    NTSTATUS Open(const std::u16string& path);
    NTSTATUS Open(PDEVICE_OBJECT device);
    // IRP_MJ_CLEANUP, then (when every request of the handle has completed) IRP_MJ_CLOSE.
    NTSTATUS Close();
    bool IsOpen() const { return file_ != nullptr; }
    PFILE_OBJECT FileObject() const { return file_; }

    AppRequest ReadAsync(void* buffer, ULONG length);
    AppRequest WriteAsync(const void* buffer, ULONG length);
    AppRequest IoctlAsync(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);
    AppRequest FlushAsync();
    AppResult Read(void* buffer, ULONG length) { return ReadAsync(buffer, length).Wait(); }
    AppResult Write(const void* buffer, ULONG length) { return WriteAsync(buffer, length).Wait(); }
    AppResult Ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength)
    {
        return IoctlAsync(code, in, inLength, out, outLength).Wait();
    }
    AppResult Flush() { return FlushAsync().Wait(); }
    // CancelIo: the requests of this handle issued by the calling thread; with
    // allThreads, CancelIoEx on the handle.
    void Cancel(bool allThreads = false);

private:
    AppRequest Send(UCHAR major, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG code);
    PFILE_OBJECT file_ = nullptr;
    PDEVICE_OBJECT target_ = nullptr;
};

}  // namespace kwsim
