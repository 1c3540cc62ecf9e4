// The trace channel of the USB library: it is compiled into the bus driver only and
// traces with the driver's own messages.
#pragma once

#define KW_USB_TRACE 7
