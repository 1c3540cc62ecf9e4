// Internal device controls of the USB stack that client drivers send to their device's
// physical device object.
#pragma once
#include "simnt/usb.h"

#ifndef CTL_CODE
#  define CTL_CODE(DeviceType, Function, Method, Access) \
      (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#  define METHOD_BUFFERED 0
#  define METHOD_IN_DIRECT 1
#  define METHOD_OUT_DIRECT 2
#  define METHOD_NEITHER 3
#endif
#ifndef FILE_ANY_ACCESS
#  define FILE_ANY_ACCESS 0
#  define FILE_READ_ACCESS 0x0001
#  define FILE_WRITE_ACCESS 0x0002
#endif

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7
#define USB_GET_HUB_NAME 8
#define USB_IDLE_NOTIFICATION 9

// Argument1 of the stack location: the URB.
#define IOCTL_INTERNAL_USB_SUBMIT_URB CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
// Argument1: a ULONG that receives USBD_PORT_ENABLED and USBD_PORT_CONNECTED.
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002
