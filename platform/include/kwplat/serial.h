// The serial include surface for kernel code: the Windows serial driver interface
// (IOCTL_SERIAL_* codes, SERIAL_* structures and flags) by its published names, values
// and layouts, plus the UART register bits serial drivers use for their shadow registers.
#pragma once

#include "kwplat/kernel.h"

#if defined(_WIN32)

#  include <ntddser.h>

// mingw's ntddser.h stops at IOCTL_SERIAL_SET_FIFO_CONTROL and leaves out the comm-config pair.
#  ifndef IOCTL_SERIAL_GET_COMMCONFIG
#    define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#  endif
#  ifndef IOCTL_SERIAL_SET_COMMCONFIG
#    define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#  endif
#  ifndef IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION
#    define IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS)
#  endif
#  ifndef IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION
#    define IOCTL_SERIAL_SET_INTERVAL_TIMER_RESOLUTION CTL_CODE(FILE_DEVICE_SERIAL_PORT, 41, METHOD_BUFFERED, FILE_ANY_ACCESS)
#  endif

#else

#  include "simnt/ntddser.h"

#endif

// UART register bits (16550 layout). The serial interface reports line and modem status
// in this layout, and drivers keep their line-status, modem-status and modem-control
// shadows in it. Windows' headers do not carry them.
#ifndef SERIAL_LSR_DR
#  define SERIAL_LSR_DR 0x01       // data ready
#  define SERIAL_LSR_OE 0x02       // overrun error
#  define SERIAL_LSR_PE 0x04       // parity error
#  define SERIAL_LSR_FE 0x08       // framing error
#  define SERIAL_LSR_BI 0x10       // break interrupt
#  define SERIAL_LSR_THRE 0x20     // transmitter holding register empty
#  define SERIAL_LSR_TEMT 0x40     // transmitter empty
#  define SERIAL_LSR_FIFOERR 0x80  // error in the receive FIFO
#endif

#ifndef SERIAL_MSR_DCTS
#  define SERIAL_MSR_DCTS 0x01  // CTS changed
#  define SERIAL_MSR_DDSR 0x02  // DSR changed
#  define SERIAL_MSR_TERI 0x04  // RI trailing edge
#  define SERIAL_MSR_DDCD 0x08  // DCD changed
#  define SERIAL_MSR_CTS 0x10
#  define SERIAL_MSR_DSR 0x20
#  define SERIAL_MSR_RI 0x40
#  define SERIAL_MSR_DCD 0x80
#endif

#ifndef SERIAL_MCR_DTR
#  define SERIAL_MCR_DTR 0x01
#  define SERIAL_MCR_RTS 0x02
#  define SERIAL_MCR_OUT1 0x04
#  define SERIAL_MCR_OUT2 0x08
#  define SERIAL_MCR_LOOP 0x10
#endif

// The FIFO-enable bit of a FIFO control value (IOCTL_SERIAL_SET_FIFO_CONTROL).
#ifndef SERIAL_FIFO_ENABLE
#  define SERIAL_FIFO_ENABLE 0x01
#endif

#ifdef __cplusplus
// Applications and drivers exchange these structures by size; both builds must agree.
static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
static_assert(sizeof(SERIAL_XOFF_COUNTER) == 12, "SERIAL_XOFF_COUNTER");
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "SERIAL_BASIC_SETTINGS");
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x001B0004, "IOCTL_SERIAL_SET_BAUD_RATE");
static_assert(IOCTL_SERIAL_GET_COMMCONFIG == 0x001B0084, "IOCTL_SERIAL_GET_COMMCONFIG");
static_assert(IOCTL_SERIAL_SET_COMMCONFIG == 0x001B0088, "IOCTL_SERIAL_SET_COMMCONFIG");
static_assert(IOCTL_SERIAL_SET_FIFO_CONTROL == 0x001B009C, "IOCTL_SERIAL_SET_FIFO_CONTROL");
static_assert(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS == 0x001B0010, "IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS");
static_assert(IOCTL_SERENUM_GET_PORT_NAME == 0x0037020C, "IOCTL_SERENUM_GET_PORT_NAME");
static_assert(IOCTL_INTERNAL_SERENUM_REMOVE_SELF == 0x00370207, "IOCTL_INTERNAL_SERENUM_REMOVE_SELF");
#endif
