// CUsbTransport: how the framework's USB library talks to the USB stack below a device.
// URBs travel as IOCTL_INTERNAL_USB_SUBMIT_URB to the lower device object (the device's
// PDO); the port reset as IOCTL_INTERNAL_USB_RESET_PORT. It also runs the continuous read:
// one bulk-in transfer kept outstanding on a pipe, re-submitted from passive level after
// every completion, with its state machine.
//
// Waiting needs PASSIVE_LEVEL (or APC_LEVEL). Requests made at DISPATCH_LEVEL cannot be
// waited for: the ones that move no data back to the caller (vendor requests without an
// IN data stage, bulk-out) are copied and sent from the transport's own passive-level
// queue; the caller learns only that they were handed over.
#pragma once

#include "jndeferredqueue.h"
#include "jnspinlock.h"
#include "jnstopwatch.h"
#include "kwplat/usb.h"

// Called for every completed continuous read with the bytes received, at up to
// DISPATCH_LEVEL from the USB stack's completion (it must not block).
typedef void (*KwUsbReadCallback)(PVOID context, PUCHAR data, ULONG length);

class CUsbTransport : public CJnObject {
public:
    // The continuous read's states (its trace names in sm_ReadStateName).
    enum : LONG {
        kUninitialised = 0,  // no callback registered
        kRegistered = 1,     // read callback registered
        kInitialised = 2,    // IRP and URB allocated, no read in flight
        kStarted = 3,        // a read is in flight and will be re-submitted after completion
        kDisabled = 4,       // a read may be in flight; it will not be re-submitted
        kCancelled = 5,      // stop in progress
    };
    static const char* sm_ReadStateName(LONG state);

    // One attempt of a request waits this long with the wait-with-timeout flag.
    static const LONGLONG kRequestTimeout = 10000000;  // 1 s in 100-ns units

    CUsbTransport();
    virtual ~CUsbTransport();

    // Everything goes to `lowerDevice`; the passive-level queue starts here.
    BOOLEAN m_InitTransport(PDEVICE_OBJECT lowerDevice);
    // Deletes the continuous read and ends the queue (its pending work runs first).
    void m_DeInitTransport();
    PDEVICE_OBJECT m_GetLowerDevice() const { return m_pLowerDevice; }

    // ---- requests ----
    // Submits one URB. At PASSIVE or APC level the caller waits for it: with
    // bWaitWithTimeout at most kRequestTimeout, after which the request is cancelled and
    // fails. bForcePassive (or a system before WDM 1.10) moves an APC-level submission to
    // the passive-level queue, the caller waiting until it has run. At DISPATCH_LEVEL the
    // URB and its data are copied and sent from that queue without waiting (vendor and
    // bulk-out requests only; the result is TRUE when it was handed over). With
    // pReusableIrp the request goes in that IRP, which stays the caller's.
    BOOLEAN m_SubmitUrb(PURB pUrb, BOOLEAN bForcePassive, BOOLEAN bWaitWithTimeout, PIRP pReusableIrp = nullptr);
    // An internal device control without buffers (the port reset), waited for without limit.
    BOOLEAN m_SubmitUsbRequest(ULONG ulIoControlCode);

    // ---- the continuous read ----
    BOOLEAN m_RegisterInterruptUrbCallback(KwUsbReadCallback callback, PVOID context);
    BOOLEAN m_CreateInterruptUrb();
    BOOLEAN m_StartInterruptUrb(USBD_PIPE_HANDLE pipe, ULONG ulSize);
    // The size of the next reads (0 is ignored).
    void m_SetInterruptUrbSize(ULONG ulSize);
    ULONG m_GetInterruptUrbSize() const { return static_cast<ULONG>(m_lReadSize); }
    BOOLEAN m_DisableInterruptUrb();
    BOOLEAN m_EnableInterruptUrb();
    BOOLEAN m_StopInterruptUrb();
    BOOLEAN m_DeleteInterruptUrb();
    LONG m_GetReadState() const { return m_lReadState; }

    // Statistics of the continuous read: milliseconds between the last two completions
    // and microseconds the last read callback took.
    ULONG m_GetReadInterval() const { return m_ulReadInterval; }
    ULONG m_GetReadCallbackDuration() const { return m_ulReadCallbackDuration; }
    void m_ClearStatistics();

protected:
    // Sends a URB in a fresh IRP (or pReusableIrp) and, at PASSIVE or APC level, waits.
    BOOLEAN m_SubmitUsbRequestDispatchLevel(ULONG ulIoControlCode, PURB pUrb, BOOLEAN bWaitWithTimeout,
                                            PIRP pReusableIrp);
    // Runs `function` on the transport's passive-level queue.
    BOOLEAN m_QueuePassive(JnDeferredFunction function, PVOID argument1, PVOID argument2);

private:
    struct PassiveSubmission;
    static void sm_SubmitUrbAtPassiveLevel(PVOID submission, PVOID transport);
    static void sm_SendCopyAtPassiveLevel(PVOID copy, PVOID transport);
    static void sm_SignalFlushed(PVOID event, PVOID);
    BOOLEAN m_SendCopyLater(PURB pUrb);
    static NTSTATUS sm_OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

    static NTSTATUS sm_OnInterrupt(PDEVICE_OBJECT, PIRP irp, PVOID context);
    void m_OnInterrupt(PIRP irp);
    static void sm_RestartInterruptUrb(PVOID transport, PVOID);
    // Under the read lock: fills the URB with a new buffer and moves 2 -> 3.
    BOOLEAN m_PrepareReadLocked(USBD_PIPE_HANDLE pipe, ULONG ulSize);
    void m_SendRead();
    // Under the read lock: the stop event is set exactly while nothing can still reach
    // the read IRP (no read in flight, no restart queued).
    void m_UpdateIdleLocked();

    PDEVICE_OBJECT m_pLowerDevice;
    CJnDeferredQueue* m_pQueue;

    // Continuous read.
    volatile LONG m_lReadState;
    KwUsbReadCallback m_ReadCallback;
    PVOID m_pReadContext;
    PIRP m_pReadIrp;
    PURB m_pReadUrb;
    PVOID m_pvInterruptPipeBuffer;
    USBD_PIPE_HANDLE m_ReadPipe;
    volatile LONG m_lReadSize;
    BOOLEAN m_bReadInFlight;
    BOOLEAN m_bRestartQueued;
    KEVENT m_StopEvent;
    CJnSpinLock m_ReadLock;

    CJnStopwatch m_ReadStopwatch;
    BOOLEAN m_bReadStopwatchRunning;
    ULONG m_ulReadInterval;
    ULONG m_ulReadCallbackDuration;
};
