// IRP helpers of the framework: complete with a status, forward and wait, and send a
// device control and wait.
#pragma once

#include "kwplat/kernel.h"

// Clears the cancel routine of an IRP marked pending, stores status (and information)
// and completes it without priority boost. Returns the status.
NTSTATUS JnCompleteIrp(PIRP irp, NTSTATUS status);
NTSTATUS JnCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);
// Passes the IRP to `lower` with a copy of the current stack location and waits until
// the lower drivers completed it; the IRP is then the caller's again (not completed).
// Returns its final status.
NTSTATUS JnForwardIrpSynchronously(PIRP irp, PDEVICE_OBJECT lower);
// Builds, sends and waits for a (internal) device control. On success the returned
// information is stored in *inOutLength and the result is true.
bool JnSendIoctlSynchronously(PDEVICE_OBJECT lower, ULONG code, PVOID inBuffer, ULONG inLength, PVOID outBuffer,
                              PULONG inOutLength, BOOLEAN internal, PFILE_OBJECT fileObject = nullptr);
