// Injected faults, stalls and their recovery, port resets, and pulling the device with
// requests outstanding.
#include <cstring>

#include "usb_fixture.h"

namespace kwsim::usb::test {
namespace {

class FaultsTest : public SingleDeviceTest {};

TEST_F(FaultsTest, ControlFaultsHitTheNextControlTransfersInOrder)
{
    struct Case {
        const char* what;
        std::function<void()> inject;
        std::vector<USBD_STATUS> results;  // of the transfers that follow
    } cases[] = {
        {"two transaction errors", [&] { dev->FailControl(2); },
         {USBD_STATUS_XACT_ERROR, USBD_STATUS_XACT_ERROR, USBD_STATUS_SUCCESS}},
        {"a device that does not respond", [&] { dev->FailControl(1, USBD_STATUS_DEV_NOT_RESPONDING); },
         {USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_SUCCESS}},
        {"a stall", [&] { dev->StallControl(); }, {USBD_STATUS_STALL_PID, USBD_STATUS_SUCCESS}},
        {"a stall, then an error", [&] {
             dev->StallControl();
             dev->FailControl(1);
         }, {USBD_STATUS_STALL_PID, USBD_STATUS_XACT_ERROR, USBD_STATUS_SUCCESS}},
        {"cleared", [&] {
             dev->FailControl(5);
             dev->ClearFaults();
         }, {USBD_STATUS_SUCCESS}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.inject();
        size_t seen = model->Controls().size();
        for (USBD_STATUS want : c.results) {
            std::vector<uint8_t> two(2);
            URB urb = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, true, 0x05, 0, 1, two.data(), 2);
            UrbRequest r(dev->Pdo());
            r.Send(&urb);
            EXPECT_EQ(r.Wait(), USBD_SUCCESS(want) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
            EXPECT_EQ(urb.UrbHeader.Status, want);
            EXPECT_EQ(r.completedAt - r.submittedAt, 2 * kMs) << "a failure takes its frame too";
            EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, USBD_SUCCESS(want) ? 2u : 0u);
        }
        EXPECT_EQ(model->Controls().size(), seen + 1) << "only the good one reached the device";
    }

    // A hung transfer: pending until cancelled, as long as that takes.
    dev->HangControl();
    URB urb = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0, 1, nullptr, 0);
    UrbRequest r(dev->Pdo());
    r.Send(&urb);
    Delay(kSec);
    EXPECT_FALSE(r.Done());
    r.Cancel();
    EXPECT_EQ(r.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(r.completedAt - r.submittedAt, kSec);
}

TEST_F(FaultsTest, BulkFaultsFailOrShortenTheNextTransfers)
{
    struct Case {
        const char* what;
        std::function<void()> inject;
        uint8_t ep;
        ULONG length;
        size_t deviceHas;  // IN: bytes ready
        USBD_STATUS usbd;
        ULONG transferred;
    } cases[] = {
        {"write fails", [&] { dev->FailBulk(0x02, 1, USBD_STATUS_XACT_ERROR); }, 0x02, 100, 0, USBD_STATUS_XACT_ERROR, 0},
        {"the next write is fine", {}, 0x02, 100, 0, USBD_STATUS_SUCCESS, 100},
        {"read fails", [&] { dev->FailBulk(0x81, 1, USBD_STATUS_DEV_NOT_RESPONDING); }, 0x81, 4096, 30,
         USBD_STATUS_DEV_NOT_RESPONDING, 0},
        {"the data waits for the next read", {}, 0x81, 4096, 0, USBD_STATUS_SUCCESS, 30},
        {"short write", [&] { dev->ShortBulk(0x02, 100); }, 0x02, 300, 0, USBD_STATUS_SUCCESS, 100},
        {"short read", [&] { dev->ShortBulk(0x81, 70); }, 0x81, 4096, 200, USBD_STATUS_SUCCESS, 70},
        {"the rest of the split packet comes next", {}, 0x81, 4096, 0, USBD_STATUS_SUCCESS, 58},
        {"a write cut to nothing", [&] { dev->ShortBulk(0x02, 0); }, 0x02, 64, 0, USBD_STATUS_SUCCESS, 0},
    };
    size_t written = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.inject) c.inject();
        if (c.deviceHas) model->QueueInBytes(0x81, Bytes(c.deviceHas), 64, true);
        std::vector<uint8_t> buffer = c.ep & 0x80 ? std::vector<uint8_t>(c.length) : Bytes(c.length, uint8_t(written));
        URB urb = c.ep & 0x80 ? ReadUrb(buffer) : BulkUrb(out, buffer.data(), c.length, 0);
        EXPECT_EQ(SubmitAndWait(dev->Pdo(), &urb), USBD_SUCCESS(c.usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.transferred);
        if (!(c.ep & 0x80)) {
            std::vector<uint8_t> got = model->Received(0x02);
            ASSERT_EQ(got.size(), written + c.transferred) << "the device got what was reported written";
            EXPECT_TRUE(std::equal(got.begin() + written, got.end(), buffer.begin()));
            written = got.size();
        }
    }
}

TEST_F(FaultsTest, AStalledEndpointHoldsItsRequestsUntilThePipeIsReset)
{
    std::vector<uint8_t> buffer(4096);
    model->stallIn = true;
    URB first = ReadUrb(buffer);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &first), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first.UrbHeader.Status, USBD_STATUS_STALL_PID);
    model->stallIn = false;
    model->QueueIn(0x81, Bytes(5));
    URB second = ReadUrb(buffer);
    UrbRequest r(dev->Pdo());
    r.Send(&second);
    Delay(10 * kMs);
    EXPECT_FALSE(r.Done()) << "the endpoint is halted";
    URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &reset), STATUS_SUCCESS);
    EXPECT_EQ(model->Events().back(), "ClearHalt 129");
    EXPECT_EQ(host->Log().back().setup, (std::array<uint8_t, 8>{0x02, 0x01, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00}));
    EXPECT_EQ(r.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(second.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);

    // An injected stall halts the endpoint the same way.
    dev->FailBulk(0x02, 1, USBD_STATUS_STALL_PID);
    std::vector<uint8_t> data = Bytes(10);
    URB w1 = BulkUrb(out, data.data(), 10, 0), w2 = BulkUrb(out, data.data(), 10, 0);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &w1), STATUS_UNSUCCESSFUL);
    UrbRequest r2(dev->Pdo());
    r2.Send(&w2);
    Delay(10 * kMs);
    EXPECT_FALSE(r2.Done());
    URB resetOut = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out);
    EXPECT_EQ(SubmitAndWait(dev->Pdo(), &resetOut), STATUS_SUCCESS);
    EXPECT_EQ(r2.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(model->Received(0x02), data);
}

TEST_F(FaultsTest, APortResetTakesTwentyMillisecondsAndKeepsTheConfiguration)
{
    std::vector<uint8_t> buffer(4096);
    URB read = ReadUrb(buffer);
    UrbRequest pendingRead(dev->Pdo());
    pendingRead.Send(&read);
    Delay(3 * kMs);
    int polls = model->Polls(0x81);
    int64_t t0 = Now();
    UrbRequest reset(dev->Pdo(), IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_EQ(reset.Send(nullptr), STATUS_PENDING);
    URB vendor = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0, 1, nullptr, 0);
    UrbRequest during(dev->Pdo());
    during.Send(&vendor);
    EXPECT_EQ(reset.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(reset.completedAt - t0, kMs + kPortResetTime) << "from the next frame on";
    EXPECT_EQ(during.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(during.completedAt - t0, 2 * kMs + kPortResetTime) << "the device's transfers waited for the reset";
    std::vector<std::string> events = model->Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
              (std::vector<std::string>{"BusReset", "SetConfiguration 1"}))
        << "the hub restores the configuration";
    EXPECT_FALSE(pendingRead.Done()) << "requests outstanding survive the reset";
    EXPECT_EQ(model->Polls(0x81), polls + 1) << "and the device is asked again after it";
    model->QueueIn(0x81, Bytes(3));
    EXPECT_EQ(pendingRead.Wait(), STATUS_SUCCESS);

    // A port reset is a PASSIVE_LEVEL request.
    ExpectReport(ReportKind::Verifier, "IOCTL_INTERNAL_USB_RESET_PORT sent at IRQL 2");
    UrbRequest raised(dev->Pdo(), IOCTL_INTERNAL_USB_RESET_PORT);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    raised.Send(nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(raised.Wait(), STATUS_SUCCESS);
}

TEST_F(FaultsTest, UnpluggingCompletesEveryOutstandingRequestAndFailsLaterOnes)
{
    int presenceCalls = 0;
    host->SetPresenceHandler([&](PluggedDevice& d, bool present) {
        EXPECT_EQ(&d, dev);
        EXPECT_FALSE(present);
        presenceCalls++;
    });
    std::vector<uint8_t> buffer(4096), data = Bytes(300);
    model->SetRoom(0x02, 64);
    dev->HangControl();
    URB read = ReadUrb(buffer);
    URB write = BulkUrb(out, data.data(), 300, 0);
    URB control = VendorUrb(URB_FUNCTION_VENDOR_DEVICE, false, 0x01, 0, 1, nullptr, 0);
    UrbRequest r(dev->Pdo()), w(dev->Pdo()), c(dev->Pdo()), reset(dev->Pdo(), IOCTL_INTERNAL_USB_RESET_PORT);
    r.Send(&read);
    w.Send(&write);
    c.Send(&control);
    Delay(5 * kMs);
    reset.Send(nullptr);
    Delay(2 * kMs);
    int64_t pulledAt = Now();
    PDEVICE_OBJECT pdo = dev->Pdo();
    dev->Unplug();
    EXPECT_FALSE(dev->Present());
    EXPECT_EQ(presenceCalls, 1);
    for (UrbRequest* q : {&r, &w, &c}) {
        EXPECT_EQ(q->Wait(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(q->Usbd(), USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(q->completedAt, pulledAt);
        EXPECT_EQ(q->irql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(reset.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_LT(r.order, w.order);
    EXPECT_LT(w.order, c.order) << "in the order they were submitted";
    EXPECT_EQ(write.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u) << "what went before the pull";
    EXPECT_EQ(model->Events().back(), "Detached");

    // Later requests fail at once, the PDO says it is gone.
    URB later = ReadUrb(buffer);
    UrbRequest l(pdo);
    EXPECT_EQ(l.Send(&later), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(l.beforeReturn);
    EXPECT_EQ(later.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ULONG port = 0xFF;
    IrpResult ps = SendIrp(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&](PIRP, PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        s->Parameters.Others.Argument1 = &port;
    });
    EXPECT_EQ(ps.status, STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
    IrpResult state = SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(state.status, STATUS_SUCCESS);
    EXPECT_EQ(state.information, ULONG_PTR(PNP_DEVICE_REMOVED));
    EXPECT_EQ(SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(FindDevice(u"\\Device\\USBPDO-0"), pdo);
    EXPECT_EQ(SendPnp(pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(FindDevice(u"\\Device\\USBPDO-0"), nullptr) << "removal of a gone device deletes its PDO";
    EXPECT_EQ(dev->Pdo(), nullptr);

    // Plugged in again: a new PDO on the same port, attached and ready.
    host->SetPresenceHandler({});
    PluggedDevice* again = host->Plug(device);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Port(), 1);
    EXPECT_EQ(DeviceName(again->Pdo()), u"\\Device\\USBPDO-1");
    EXPECT_EQ(model->Events().back(), "Attached");
    Configured replugged = Configure(again->Pdo());
    EXPECT_EQ(replugged.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace kwsim::usb::test
