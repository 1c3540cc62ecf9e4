// The log of requests: a record per request from submission to completion, and its
// one-line form.
#include <cinttypes>
#include <cstdio>

#include "host_internal.h"

namespace kwsim::usb {

const char* UrbFunctionName(USHORT f)
{
    switch (f) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return "SELECT_CONFIGURATION";
    case URB_FUNCTION_SELECT_INTERFACE: return "SELECT_INTERFACE";
    case URB_FUNCTION_ABORT_PIPE: return "ABORT_PIPE";
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return "GET_CURRENT_FRAME_NUMBER";
    case URB_FUNCTION_CONTROL_TRANSFER: return "CONTROL_TRANSFER";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return "BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_ISOCH_TRANSFER: return "ISOCH_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return "GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_VENDOR_DEVICE: return "VENDOR_DEVICE";
    case URB_FUNCTION_VENDOR_INTERFACE: return "VENDOR_INTERFACE";
    case URB_FUNCTION_VENDOR_ENDPOINT: return "VENDOR_ENDPOINT";
    case URB_FUNCTION_VENDOR_OTHER: return "VENDOR_OTHER";
    case URB_FUNCTION_CLASS_DEVICE: return "CLASS_DEVICE";
    case URB_FUNCTION_CLASS_INTERFACE: return "CLASS_INTERFACE";
    case URB_FUNCTION_CLASS_ENDPOINT: return "CLASS_ENDPOINT";
    case URB_FUNCTION_CLASS_OTHER: return "CLASS_OTHER";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
    case URB_FUNCTION_SYNC_RESET_PIPE: return "SYNC_RESET_PIPE";
    case URB_FUNCTION_SYNC_CLEAR_STALL: return "SYNC_CLEAR_STALL";
    case URB_FUNCTION_GET_CONFIGURATION: return "GET_CONFIGURATION";
    case URB_FUNCTION_GET_INTERFACE: return "GET_INTERFACE";
    default: return "URB_FUNCTION_?";
    }
}

std::string UsbdStatusName(USBD_STATUS s)
{
    switch (s) {
    case USBD_STATUS_SUCCESS: return "SUCCESS";
    case USBD_STATUS_PENDING: return "PENDING";
    case USBD_STATUS_CRC: return "CRC";
    case USBD_STATUS_STALL_PID: return "STALL_PID";
    case USBD_STATUS_DEV_NOT_RESPONDING: return "DEV_NOT_RESPONDING";
    case USBD_STATUS_DATA_OVERRUN: return "DATA_OVERRUN";
    case USBD_STATUS_BUFFER_OVERRUN: return "BUFFER_OVERRUN";
    case USBD_STATUS_XACT_ERROR: return "XACT_ERROR";
    case USBD_STATUS_BABBLE_DETECTED: return "BABBLE_DETECTED";
    case USBD_STATUS_ENDPOINT_HALTED: return "ENDPOINT_HALTED";
    case USBD_STATUS_INVALID_URB_FUNCTION: return "INVALID_URB_FUNCTION";
    case USBD_STATUS_INVALID_PARAMETER: return "INVALID_PARAMETER";
    case USBD_STATUS_ERROR_BUSY: return "ERROR_BUSY";
    case USBD_STATUS_INVALID_PIPE_HANDLE: return "INVALID_PIPE_HANDLE";
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return "ERROR_SHORT_TRANSFER";
    case USBD_STATUS_NOT_SUPPORTED: return "NOT_SUPPORTED";
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR: return "INVALID_CONFIGURATION_DESCRIPTOR";
    case USBD_STATUS_BUFFER_TOO_SMALL: return "BUFFER_TOO_SMALL";
    case USBD_STATUS_INTERFACE_NOT_FOUND: return "INTERFACE_NOT_FOUND";
    case USBD_STATUS_TIMEOUT: return "TIMEOUT";
    case USBD_STATUS_DEVICE_GONE: return "DEVICE_GONE";
    case USBD_STATUS_CANCELED: return "CANCELED";
    default: {
        char buf[16];
        snprintf(buf, sizeof buf, "0x%08X", (unsigned)s);
        return buf;
    }
    }
}

std::string UrbRecord::Text() const
{
    char buf[256];
    std::string line;
    auto ms = [&](int64_t t) {
        snprintf(buf, sizeof buf, "%6" PRId64 ".%04" PRId64, t / kMs, t % kMs);
        return std::string(buf);
    };
    line = ms(submitted) + " -> " + (Pending() ? std::string("    pending") : ms(completed)) + " ms  ";
    snprintf(buf, sizeof buf, "port %d", port);
    line += buf;
    if (interfaceNumber >= 0) {
        snprintf(buf, sizeof buf, " MI_%02X", interfaceNumber);
        line += buf;
    }
    line += "  ";
    line += ioctl == IOCTL_INTERNAL_USB_RESET_PORT ? "RESET_PORT" : UrbFunctionName(function);
    if (hasSetup) {
        line += "  setup";
        for (uint8_t b : setup) {
            snprintf(buf, sizeof buf, " %02X", b);
            line += buf;
        }
    } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        snprintf(buf, sizeof buf, "  ep %02X %s", endpoint, In() ? "IN" : "OUT");
        line += buf;
    }
    if (hasSetup || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        snprintf(buf, sizeof buf, "  %u/%u", (unsigned)transferred, (unsigned)requested);
        line += buf;
    }
    line += "  " + (Pending() ? std::string("...") : UsbdStatusName(usbdStatus));
    if (!data.empty()) {
        line += "  data";
        size_t shown = data.size() < 16 ? data.size() : 16;
        for (size_t i = 0; i < shown; i++) {
            snprintf(buf, sizeof buf, " %02X", data[i]);
            line += buf;
        }
        if (shown < data.size()) line += " ...";
    }
    return line;
}

namespace detail {

uint64_t Core::LogSubmit(const Transfer& t, ULONG ioctl)
{
    if (options.logCapacity == 0) return 0;
    UrbRecord r;
    r.id = nextLogId++;
    r.submitted = Now();
    r.port = t.dev->port;
    r.interfaceNumber = t.view;
    r.ioctl = ioctl;
    if (t.urb) r.function = t.urb->UrbHeader.Function;
    if (t.kind == Kind::Bulk) {
        r.endpoint = t.endpoint;
        r.requested = t.length;
    } else if (t.kind == Kind::Control && !t.local && t.urb) {
        r.endpoint = t.setup.In() ? 0x80 : 0x00;
        r.hasSetup = true;
        r.setup = t.setup.Bytes();
        r.requested = t.length;
    }
    log.push_back(std::move(r));
    while (log.size() > options.logCapacity) log.pop_front();
    return nextLogId - 1;
}

UrbRecord* Core::Record(uint64_t id)
{
    if (!id || log.empty() || id < log.front().id || id > log.back().id) return nullptr;
    return &log[id - log.front().id];
}

void Core::LogComplete(const Transfer& t)
{
    UrbRecord* r = Record(t.logId);
    if (!r) return;
    r->completed = Now();
    r->usbdStatus = t.usbd;
    r->status = NtFromUsbd(t.usbd);
    r->transferred = t.done;
    if (t.buffer && t.done) r->data.assign(t.buffer, t.buffer + t.done);
    if (observer) observer(*r);
}

}  // namespace detail

std::vector<UrbRecord> UsbHost::Log() const
{
    std::lock_guard<std::mutex> lk(core_->mu);
    return {core_->log.begin(), core_->log.end()};
}

std::string UsbHost::LogText() const
{
    std::string text;
    for (const UrbRecord& r : Log()) text += r.Text() + "\n";
    return text;
}

void UsbHost::ClearLog()
{
    std::lock_guard<std::mutex> lk(core_->mu);
    core_->log.clear();
}

void UsbHost::SetLogObserver(std::function<void(const UrbRecord&)> observer)
{
    std::lock_guard<std::mutex> lk(core_->mu);
    core_->observer = std::move(observer);
}

}  // namespace kwsim::usb
