// The USB include surface of kernel code: descriptors, URBs, USBD status codes, the
// internal device controls of the USB stack and the USB driver library (usbd.sys).
#pragma once

#include "kwplat/kernel.h"

#if defined(_WIN32)

#  include <usb.h>
#  include <usbdi.h>
#  include <usbioctl.h>
// mingw's usbdlib.h declares the library's routines without C linkage; C++ callers
// would import mangled names that usbd.sys does not export.
extern "C" {
#  include <usbdlib.h>
}

#else

#  include "simnt/usb.h"
#  include "simnt/usbioctl.h"
#  include "simnt/usbdlib.h"

#endif
