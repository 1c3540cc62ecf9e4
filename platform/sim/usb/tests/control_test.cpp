// Control requests: descriptors as the device and its interfaces show them, vendor and
// class requests as setup packets, their frames, select-configuration and the requests
// the stack refuses.
#include <cstring>

#include "usb_fixture.h"

namespace kwsim::usb::test {
namespace {

class ControlTest : public UsbTest {};

std::vector<uint8_t> Head(const std::vector<uint8_t>& v, size_t n) { return {v.begin(), v.begin() + std::min(n, v.size())}; }

TEST_F(ControlTest, DescriptorRequestsSeeTheDeviceOrOnlyTheirInterface)
{
    PluggedDevice* quad = host->Plug(QuadDevice());
    TestDevice& model = static_cast<TestDevice&>(quad->Model());
    std::vector<uint8_t> device = model.DeviceDescriptor();
    std::vector<uint8_t> config = model.ConfigurationDescriptor(0);
    ASSERT_EQ(config.size(), 9u + 4 * (9 + 7 + 7));
    // Interface 2 alone: its header says one interface and 32 bytes.
    std::vector<uint8_t> view = Head(config, 9);
    for (size_t i = 9 + 2 * 23; i < 9 + 3 * 23; i++) view.push_back(config[i]);
    view[2] = 32;
    view[4] = 1;
    std::vector<uint8_t> product = BuildStringDescriptor(u"Quad Serial Adapter");
    PDEVICE_OBJECT parent = quad->Pdo(), mi2 = quad->InterfacePdo(2);
    struct Case {
        PDEVICE_OBJECT pdo;
        UCHAR type, index;
        USHORT language;
        ULONG length;
        std::vector<uint8_t> want;  // empty: the device stalls
        int64_t takes;              // from a frame start to the completion
    } cases[] = {
        {parent, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, device, 2 * kMs},
        {mi2, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8, Head(device, 8), 2 * kMs},
        {parent, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, Head(config, 9), 2 * kMs},
        {parent, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 512, config, 3 * kMs},  // 2 data packets: 2 frames
        {mi2, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, Head(view, 9), 2 * kMs},
        {mi2, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 512, view, 2 * kMs},
        {parent, USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, {4, 3, 0x09, 0x04}, 2 * kMs},
        {mi2, USB_STRING_DESCRIPTOR_TYPE, 2, 0x409, 255, product, 2 * kMs},
        {parent, USB_STRING_DESCRIPTOR_TYPE, 9, 0x409, 255, {}, 2 * kMs},
        {parent, USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, 255, {}, 2 * kMs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " index " << int(c.index) << " length " << c.length
                                        << (c.pdo == mi2 ? " on MI_02" : ""));
        std::vector<uint8_t> buffer(c.length, 0xEE);
        URB urb = DescriptorUrb(c.type, c.index, c.language, buffer.data(), c.length);
        UrbRequest r(c.pdo);
        EXPECT_EQ(r.Send(&urb), STATUS_PENDING);
        r.Wait();
        EXPECT_EQ(r.completedAt - r.submittedAt, c.takes);
        EXPECT_EQ(r.irql, DISPATCH_LEVEL);
        EXPECT_FALSE(r.onSubmitterThread);
        if (c.want.empty()) {
            EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(r.Usbd(), USBD_STATUS_STALL_PID);
            EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
            continue;
        }
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.Usbd(), USBD_STATUS_SUCCESS);
        ASSERT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.want.size());
        EXPECT_EQ(Head(buffer, c.want.size()), c.want);
        if (c.length > c.want.size()) {
            EXPECT_EQ(buffer[c.want.size()], 0xEE) << "nothing written past the answer";
        }
    }
    // The log keeps the setup packets.
    std::vector<UrbRecord> log = host->Log();
    ASSERT_EQ(log.size(), std::size(cases));
    EXPECT_EQ(log[3].setup, (std::array<uint8_t, 8>{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_EQ(log[3].transferred, config.size());
    EXPECT_EQ(log[4].interfaceNumber, 2);
    EXPECT_EQ(log[7].setup, (std::array<uint8_t, 8>{0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0xFF, 0x00}));
}

TEST_F(ControlTest, VendorAndClassRequestsReachTheDeviceAsSetupPackets)
{
    PluggedDevice* quad = host->Plug(QuadDevice());
    TestDevice& model = static_cast<TestDevice&>(quad->Model());
    model.onControl = [](const SetupPacket& s, std::span<const uint8_t>) {
        if (s.bRequest == 0x7F) return ControlReply::Stalled();
        if (s.bRequest == 0x40) return ControlReply::Ok(std::vector<uint8_t>(200, 0x5A));
        return ControlReply::Ok(s.In() ? std::vector<uint8_t>{0x11, 0x60} : std::vector<uint8_t>{});
    };
    struct Case {
        USHORT function;
        bool in;
        UCHAR request;
        USHORT value, index;
        std::vector<uint8_t> out;  // OUT data
        ULONG inLength;
        uint8_t bmRequestType;
        ULONG transferred;
        USBD_STATUS usbd;
    } cases[] = {
        {URB_FUNCTION_VENDOR_INTERFACE, false, 0x03, 0x4138, 0x0102, {}, 0, 0x41, 0, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_VENDOR_INTERFACE, true, 0x05, 0, 2, {}, 2, 0xC1, 2, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_VENDOR_INTERFACE, true, 0x05, 0, 2, {}, 1, 0xC1, 1, USBD_STATUS_SUCCESS},   // cut to wLength
        {URB_FUNCTION_VENDOR_INTERFACE, true, 0x0A, 0, 2, {}, 64, 0xC1, 2, USBD_STATUS_SUCCESS},  // short data stage
        {URB_FUNCTION_VENDOR_INTERFACE, true, 0x40, 0, 2, {}, 4096, 0xC1, 200, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_VENDOR_DEVICE, false, 0x09, 0x0010, 0, {1, 2, 3}, 0, 0x40, 3, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_VENDOR_ENDPOINT, true, 0x01, 0, 0x81, {}, 2, 0xC2, 2, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_VENDOR_OTHER, false, 0x01, 0, 0, {}, 0, 0x43, 0, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_CLASS_INTERFACE, false, 0x22, 0x0003, 1, {}, 0, 0x21, 0, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_CLASS_DEVICE, true, 0x00, 0, 0, {}, 2, 0xA0, 2, USBD_STATUS_SUCCESS},
        {URB_FUNCTION_VENDOR_INTERFACE, false, 0x7F, 0, 1, {}, 0, 0x41, 0, USBD_STATUS_STALL_PID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << UrbFunctionName(c.function) << " request " << int(c.request));
        std::vector<uint8_t> buffer = c.in ? std::vector<uint8_t>(c.inLength, 0xEE) : c.out;
        URB urb = VendorUrb(c.function, c.in, c.request, c.value, c.index, buffer.empty() ? nullptr : buffer.data(),
                            (ULONG)buffer.size());
        NTSTATUS st = SubmitAndWait(quad->InterfacePdo(1), &urb);
        EXPECT_EQ(st, USBD_SUCCESS(c.usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, c.transferred);
        SetupPacket seen = model.Controls().back();
        EXPECT_EQ(seen.bmRequestType, c.bmRequestType);
        EXPECT_EQ(seen.bRequest, c.request);
        EXPECT_EQ(seen.wValue, c.value);
        EXPECT_EQ(seen.wIndex, c.index) << "wIndex reaches the device as the driver wrote it";
        EXPECT_EQ(seen.wLength, buffer.size());
        if (!c.in) {
            EXPECT_EQ(model.ControlData().back(), c.out);
        } else if (c.transferred) {
            EXPECT_EQ(buffer[0], c.request == 0x40 ? 0x5A : 0x11);
        }
    }

    // A raw control transfer on the default pipe goes the same way.
    uint8_t two[2] = {};
    URB raw{};
    raw.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    raw.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
    raw.UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_DEFAULT_PIPE_TRANSFER;
    raw.UrbControlTransfer.TransferBuffer = two;
    raw.UrbControlTransfer.TransferBufferLength = 2;
    const UCHAR setup[8] = {0xC0, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00};
    memcpy(raw.UrbControlTransfer.SetupPacket, setup, 8);
    EXPECT_EQ(SubmitAndWait(quad->Pdo(), &raw), STATUS_SUCCESS);
    EXPECT_EQ(model.Controls().back().Bytes(), (std::array<uint8_t, 8>{0xC0, 0x0A, 0, 0, 1, 0, 2, 0}));
    EXPECT_EQ(two[1], 0x60);
}

TEST_F(ControlTest, ControlTransfersTakeTheirFramesOneAtATime)
{
    PluggedDevice* quad = host->Plug(QuadDevice());
    TestDevice& model = static_cast<TestDevice&>(quad->Model());
    model.onControl = [](const SetupPacket& s, std::span<const uint8_t>) {
        return ControlReply::Ok(s.In() ? std::vector<uint8_t>(200, 1) : std::vector<uint8_t>{});
    };
    LARGE_INTEGER half = kwsim::test::Relative(kMs / 2);
    KeDelayExecutionThread(KernelMode, FALSE, &half);
    // Setup, data packets of 64 and status, three to a frame: 2 packets, 6, 2.
    std::vector<uint8_t> in(200);
    URB a = VendorUrb(URB_FUNCTION_VENDOR_INTERFACE, false, 1, 0, 1, nullptr, 0);
    URB b = VendorUrb(URB_FUNCTION_VENDOR_INTERFACE, true, 2, 0, 1, in.data(), 200);
    URB c = VendorUrb(URB_FUNCTION_VENDOR_INTERFACE, false, 3, 0, 2, nullptr, 0);
    UrbRequest ra(quad->InterfacePdo(0)), rb(quad->InterfacePdo(0)), rc(quad->InterfacePdo(1));
    ra.Send(&a);
    rb.Send(&b);
    rc.Send(&c);
    ra.Wait();
    rb.Wait();
    rc.Wait();
    EXPECT_EQ(ra.completedAt, 2 * kMs) << "submitted at 0.5 ms: served in frame 1, done at its end";
    EXPECT_EQ(rb.completedAt, 4 * kMs) << "frames 2 and 3";
    EXPECT_EQ(rc.completedAt, 5 * kMs) << "the device's one control pipe: after the others";
    EXPECT_EQ(model.ControlTimes(), (std::vector<int64_t>{1 * kMs, 2 * kMs, 4 * kMs}));
}

TEST_F(ControlTest, SelectConfigurationOpensTheInterfacesPipes)
{
    PluggedDevice* quad = host->Plug(QuadDevice());
    PluggedDevice* single = host->Plug(SingleDevice());
    TestDevice& quadModel = static_cast<TestDevice&>(quad->Model());
    TestDevice& singleModel = static_cast<TestDevice&>(single->Model());

    Configured mi2 = Configure(quad->InterfacePdo(2));
    ASSERT_EQ(mi2.status, STATUS_SUCCESS);
    EXPECT_NE(mi2.handle, nullptr);
    ASSERT_EQ(mi2.interfaces.size(), 1u) << "the child sees its interface only";
    EXPECT_EQ(mi2.interfaces[0].InterfaceNumber, 2);
    EXPECT_EQ(mi2.interfaces[0].Class, 0xFF);
    EXPECT_EQ(mi2.interfaces[0].NumberOfPipes, 2u);
    EXPECT_NE(mi2.interfaces[0].InterfaceHandle, nullptr);
    ASSERT_EQ(mi2.pipes.size(), 2u);
    for (uint8_t ep : {0x85, 0x06}) {
        const USBD_PIPE_INFORMATION& p = mi2.pipes[ep];
        EXPECT_EQ(p.EndpointAddress, ep);
        EXPECT_EQ(p.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(p.MaximumPacketSize, 64);
        EXPECT_EQ(p.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) << "kept as the driver asked";
        EXPECT_NE(p.PipeHandle, nullptr);
    }
    EXPECT_NE(mi2.pipes[0x85].PipeHandle, mi2.pipes[0x06].PipeHandle);
    EXPECT_EQ(quadModel.Events().back(), "SetInterface 2 0");
    EXPECT_EQ(host->Log().back().setup, (std::array<uint8_t, 8>{0x01, 0x0B, 0, 0, 2, 0, 0, 0}));

    Configured mi0 = Configure(quad->InterfacePdo(0));
    ASSERT_EQ(mi0.status, STATUS_SUCCESS);
    EXPECT_EQ(mi0.handle, mi2.handle) << "one configuration of the parent";
    EXPECT_EQ(mi0.pipes.count(0x81), 1u);

    // The single device is configured by its driver: SET_CONFIGURATION reaches it.
    Configured s = Configure(single->Pdo());
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(singleModel.Events().back(), "SetConfiguration 1");
    EXPECT_EQ(host->Log().back().setup, (std::array<uint8_t, 8>{0x00, 0x09, 1, 0, 0, 0, 0, 0}));

    // Bulk through a pipe works.
    std::vector<uint8_t> data = Bytes(10);
    URB out = BulkUrb(mi2.pipes[0x06].PipeHandle, data.data(), 10, 0);
    EXPECT_EQ(SubmitAndWait(quad->InterfacePdo(2), &out), STATUS_SUCCESS);
    EXPECT_EQ(quadModel.Received(0x06), data);

    // Selecting again gives new handles; the old ones are gone.
    Configured again = Configure(quad->InterfacePdo(2));
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_NE(again.pipes[0x06].PipeHandle, mi2.pipes[0x06].PipeHandle);
    URB stale = BulkUrb(mi2.pipes[0x06].PipeHandle, data.data(), 10, 0);
    EXPECT_EQ(SubmitAndWait(quad->InterfacePdo(2), &stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // A child that gives its configuration back (a null descriptor) loses its pipes only.
    URB none{};
    UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SubmitAndWait(quad->InterfacePdo(2), &none), STATUS_SUCCESS);
    URB gone = BulkUrb(again.pipes[0x06].PipeHandle, data.data(), 10, 0);
    EXPECT_EQ(SubmitAndWait(quad->InterfacePdo(2), &gone), STATUS_INVALID_PARAMETER);
    URB still = BulkUrb(mi0.pipes[0x02].PipeHandle, data.data(), 10, 0);
    EXPECT_EQ(SubmitAndWait(quad->InterfacePdo(0), &still), STATUS_SUCCESS);
}

TEST_F(ControlTest, TheStackRefusesWrongRequestsAtOnce)
{
    PluggedDevice* quad = host->Plug(QuadDevice());
    Configured mi0 = Configure(quad->InterfacePdo(0));
    Configured mi2 = Configure(quad->InterfacePdo(2));
    std::vector<uint8_t> config(512);
    URB d = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), 512);
    ASSERT_EQ(SubmitAndWait(quad->Pdo(), &d), STATUS_SUCCESS);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<uint8_t> data(64);

    // Select interface 0 through interface 2's PDO; and a configuration the device lacks.
    USBD_INTERFACE_LIST_ENTRY other[] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr}, {}};
    PURB foreign = USBD_CreateConfigurationRequestEx(cd, other);
    std::vector<uint8_t> config7 = config;
    reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config7.data())->bConfigurationValue = 7;
    auto* cd7 = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config7.data());
    USBD_INTERFACE_LIST_ENTRY list7[] = {{USBD_ParseConfigurationDescriptorEx(cd7, cd7, 2, 0, -1, -1, -1), nullptr}, {}};
    PURB unknownConfig = USBD_CreateConfigurationRequestEx(cd7, list7);

    URB madeUp = BulkUrb((USBD_PIPE_HANDLE)0x1234, data.data(), 64, 0);
    URB othersPipe = BulkUrb(mi2.pipes[0x85].PipeHandle, data.data(), 64, USBD_TRANSFER_DIRECTION_IN);
    URB noBuffer = BulkUrb(mi0.pipes[0x81].PipeHandle, nullptr, 64, USBD_TRANSFER_DIRECTION_IN);
    URB shortUrb = BulkUrb(mi0.pipes[0x81].PipeHandle, data.data(), 64, USBD_TRANSFER_DIRECTION_IN);
    shortUrb.UrbHeader.Length = sizeof(struct _URB_HEADER);
    URB noFunction = shortUrb;
    noFunction.UrbHeader.Function = 0x7777;
    noFunction.UrbHeader.Length = sizeof(URB);
    URB isoch = noFunction;
    isoch.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    URB huge = VendorUrb(URB_FUNCTION_VENDOR_INTERFACE, true, 5, 0, 1, data.data(), 70000);
    URB pipeless = PipeUrb(URB_FUNCTION_ABORT_PIPE, (USBD_PIPE_HANDLE)0x99);
    PDEVICE_OBJECT mi0pdo = quad->InterfacePdo(0), mi2pdo = quad->InterfacePdo(2);
    struct Case {
        const char* what;
        PDEVICE_OBJECT pdo;
        URB* urb;
        USBD_STATUS usbd;
        NTSTATUS status;
    } cases[] = {
        {"made-up pipe handle", mi0pdo, &madeUp, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"another interface's pipe", mi0pdo, &othersPipe, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"no buffer", mi0pdo, &noBuffer, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"URB too short", mi0pdo, &shortUrb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"no such function", mi0pdo, &noFunction, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
        {"isochronous", mi0pdo, &isoch, USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        {"longer than a control transfer", mi0pdo, &huge, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"abort of no pipe", mi0pdo, &pipeless, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"select another interface", mi2pdo, foreign, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"select a configuration the device lacks", mi2pdo, unknownConfig, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR,
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UrbRequest r(c.pdo);
        EXPECT_EQ(r.Send(c.urb), c.status);
        EXPECT_TRUE(r.beforeReturn) << "refused inside IoCallDriver";
        EXPECT_EQ(r.irql, PASSIVE_LEVEL) << "at the caller's IRQL";
        EXPECT_EQ(r.Wait(), c.status);
        EXPECT_EQ(c.urb->UrbHeader.Status, c.usbd);
        EXPECT_EQ(r.completedAt, r.submittedAt);
    }
    EXPECT_EQ(host->Log().back().usbdStatus, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR) << "refusals are logged";
    ExFreePool(foreign);
    ExFreePool(unknownConfig);

    // A null URB and an internal control the hub does not know.
    UrbRequest none(quad->InterfacePdo(0));
    EXPECT_EQ(none.Send(nullptr), STATUS_INVALID_PARAMETER);
    IrpResult unknown = SendIrp(quad->InterfacePdo(0), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [](PIRP, PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = CTL_CODE(FILE_DEVICE_USB, 200, METHOD_NEITHER, FILE_ANY_ACCESS);
    });
    EXPECT_EQ(unknown.status, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace kwsim::usb::test
