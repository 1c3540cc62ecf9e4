// The USB library: bring-up from the descriptors and the "USB" description, vendor
// requests with their retry rule, bulk-out and the spare request, and requests made at
// raised levels.
#include <cstring>
#include <functional>

#include "jnosversion.h"
#include "kwusbfixture.h"
#include "simkernel/syncpoint.h"

namespace kwsim::test {
namespace {

using kwsim::usb::ControlReply;
using kwsim::usb::SetupPacket;

constexpr int64_t kSecond = 10'000'000;

TEST_F(UsbLibraryTest, InitialisesFromTheDescriptorsAndTheDescription)
{
    UsbDescription d = ChannelDescription(1, 0x83, 0x04);
    d.endpoints[1].maximumTransferSize = 512;
    WriteUsbDescription(pdo, d);
    usb = new CUsbDevice();
    ASSERT_TRUE(usb->m_Initialize(pdo, pdo));

    // Device descriptor, configuration header, the whole configuration, then its
    // selection: that is all bring-up sends.
    std::vector<UrbRecord> log = host->Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(log[0].setup[3], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(log[0].requested, 18u);
    EXPECT_EQ(log[1].setup[3], USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(log[1].requested, 9u);
    EXPECT_EQ(log[2].requested, 9u + 9u + 7u + 7u) << "wTotalLength of channel B's view";
    EXPECT_EQ(log[3].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(usb->m_GetDeviceDescriptor().idProduct, 0x6011);
    EXPECT_NE(usb->m_GetConfigurationHandle(), nullptr);

    ASSERT_EQ(usb->m_GetEndpointCount(), 2u);
    EXPECT_EQ(usb->m_GetEndpoint(0)->ulMaximumTransferSize, 4096u) << "the default";
    EXPECT_EQ(usb->m_GetEndpoint(1)->ulMaximumTransferSize, 512u);
    EXPECT_NE(usb->m_GetPipe(1), nullptr);
    EXPECT_NE(usb->m_GetPipe(2), nullptr);
    EXPECT_NE(usb->m_GetPipe(1), usb->m_GetPipe(2));
    EXPECT_EQ(usb->m_GetPipe(3), nullptr);

    // Handle 2 is the bulk-out endpoint of channel B.
    const UCHAR data[] = "channel B";
    ULONG written = 0;
    EXPECT_TRUE(usb->m_SendData(2, data, sizeof data, &written));
    EXPECT_EQ(written, sizeof data);
    EXPECT_EQ(model->Received(0x04), std::vector<uint8_t>(data, data + sizeof data));
    EXPECT_FALSE(usb->m_SendData(3, data, sizeof data, &written)) << "no pipe has handle 3";
}

TEST_F(UsbLibraryTest, EndpointsAreReadUntilTheFirstMissingKey)
{
    UsbDescription d = ChannelDescription(1, 0x83, 0x04);
    d.endpoints.push_back({3, 1, 0, 0x83, 2, 0, {}});
    WriteUsbDescription(pdo, d);
    RegKey third;
    ASSERT_EQ(GetRegistry().Open(nullptr, DeviceParametersKeyPath(pdo) + u"\\USB\\EndPoint3", &third), STATUS_SUCCESS);
    RegKey fourth;
    ASSERT_EQ(GetRegistry().CreatePath(DeviceParametersKeyPath(pdo) + u"\\USB\\EndPoint4", &fourth), STATUS_SUCCESS);
    ASSERT_EQ(GetRegistry().Delete(third), STATUS_SUCCESS);
    usb = new CUsbDevice();
    ASSERT_TRUE(usb->m_Initialize(pdo, pdo)) << "EndPoint4 (empty) is never looked at";
    EXPECT_EQ(usb->m_GetEndpointCount(), 2u);
}

TEST_F(UsbLibraryTest, RefusesADescriptionThatDoesNotFitTheDevice)
{
    struct Case {
        const char* what;
        std::function<void(UsbDescription&)> change;
    };
    const Case cases[] = {
        {"no DeviceClass", [](UsbDescription& d) { d.omit.push_back(u"DeviceClass"); }},
        {"no DeviceSubClass", [](UsbDescription& d) { d.omit.push_back(u"DeviceSubClass"); }},
        {"no DeviceProtocol", [](UsbDescription& d) { d.omit.push_back(u"DeviceProtocol"); }},
        {"no SelectedConfiguration", [](UsbDescription& d) { d.omit.push_back(u"SelectedConfiguration"); }},
        {"no EndPointHandle", [](UsbDescription& d) { d.omit.push_back(u"EndPoint1\\EndPointHandle"); }},
        {"no InterfaceNumber", [](UsbDescription& d) { d.omit.push_back(u"EndPoint2\\InterfaceNumber"); }},
        {"no AlternateSetting", [](UsbDescription& d) { d.omit.push_back(u"EndPoint2\\AlternateSetting"); }},
        {"no EndPointAddress", [](UsbDescription& d) { d.omit.push_back(u"EndPoint2\\EndPointAddress"); }},
        {"no EndPointType", [](UsbDescription& d) { d.omit.push_back(u"EndPoint1\\EndPointType"); }},
        {"no CallbackNeeded", [](UsbDescription& d) { d.omit.push_back(u"EndPoint1\\CallbackNeeded"); }},
        {"another device class", [](UsbDescription& d) { d.deviceClass = 0xFF; }},
        {"another protocol", [](UsbDescription& d) { d.deviceProtocol = 1; }},
        {"an endpoint the interface lacks", [](UsbDescription& d) { d.endpoints[1].address = 0x02; }},
        {"an interface the function lacks", [](UsbDescription& d) { d.endpoints[0].interfaceNumber = 2; }},
        {"an alternate setting not selected", [](UsbDescription& d) { d.endpoints[0].alternateSetting = 1; }},
        {"a configuration the device lacks", [](UsbDescription& d) { d.selectedConfiguration = 1; }},
        {"no endpoints", [](UsbDescription& d) { d.endpoints.clear(); }},
    };
    for (const Case& c : cases) {
        UsbDescription d = ChannelDescription(1, 0x83, 0x04);
        c.change(d);
        WriteUsbDescription(pdo, d);
        CUsbDevice* device = new CUsbDevice();
        EXPECT_FALSE(device->m_Initialize(pdo, pdo)) << c.what;
        delete device;
    }
    // Without any description the function cannot be brought up either.
    RegKey key;
    ASSERT_EQ(GetRegistry().Open(nullptr, DeviceParametersKeyPath(pdo) + u"\\USB", &key), STATUS_SUCCESS);
    GetRegistry().DeleteTree(key);
    CUsbDevice* device = new CUsbDevice();
    EXPECT_FALSE(device->m_Initialize(pdo, pdo));
    delete device;
}

TEST_F(UsbLibraryTest, VendorRequestsCarryTheirSetupPacketsToTheInterface)
{
    Bring();
    EXPECT_TRUE(usb->m_VendorInterfaceRequestOUT(3, 0x4138, 0x0002, nullptr, 0));
    UCHAR status[2] = {};
    EXPECT_TRUE(usb->m_VendorInterfaceRequestIN(5, 0, 0x0002, status, sizeof status));
    std::vector<SetupPacket> controls = model->Controls();
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].Bytes(), (std::array<uint8_t, 8>{0x41, 3, 0x38, 0x41, 2, 0, 0, 0}));
    EXPECT_EQ(controls[1].Bytes(), (std::array<uint8_t, 8>{0xC1, 5, 0, 0, 2, 0, 2, 0}));
    EXPECT_EQ(status[0], 0x11);
    EXPECT_EQ(status[1], 0x60);
    std::vector<UrbRecord> vendor = Records(URB_FUNCTION_VENDOR_INTERFACE);
    ASSERT_EQ(vendor.size(), 2u);
    EXPECT_EQ(vendor[0].interfaceNumber, 1) << "through channel B's PDO";
}

TEST_F(UsbLibraryTest, TransactionErrorsAreTriedTenTimesWithAPortResetAndAPauseBeforeEachRetry)
{
    Bring();
    plugged->FailControl(10, USBD_STATUS_XACT_ERROR);
    EXPECT_FALSE(usb->m_VendorInterfaceRequestOUT(0, 0, 2, nullptr, 0));
    std::vector<UrbRecord> vendor = Records(URB_FUNCTION_VENDOR_INTERFACE);
    std::vector<UrbRecord> resets = Resets();
    ASSERT_EQ(vendor.size(), 10u);
    ASSERT_EQ(resets.size(), 9u);
    for (size_t i = 0; i < 9; i++) {
        EXPECT_EQ(vendor[i].usbdStatus, USBD_STATUS_XACT_ERROR);
        EXPECT_EQ(resets[i].submitted, vendor[i].completed) << "the reset follows the failed attempt";
        EXPECT_EQ(vendor[i + 1].submitted, resets[i].completed + kSecond) << "then a pause of one second";
    }
    std::string out = DebugOutput();
    EXPECT_EQ(Count(out, "USBD_STATUS_XACT_ERROR => Retrying..."), 10);
    EXPECT_NE(out.find("Retrying...10\n"), std::string::npos);

    // A request that gets through on its third attempt succeeds.
    host->ClearLog();
    plugged->FailControl(2, USBD_STATUS_XACT_ERROR);
    EXPECT_TRUE(usb->m_VendorInterfaceRequestOUT(0, 0, 2, nullptr, 0));
    EXPECT_EQ(Records(URB_FUNCTION_VENDOR_INTERFACE).size(), 3u);
    EXPECT_EQ(Resets().size(), 2u);

    // Other failures end at once.
    host->ClearLog();
    plugged->StallControl(1);
    EXPECT_FALSE(usb->m_VendorInterfaceRequestOUT(0, 0, 2, nullptr, 0));
    EXPECT_EQ(Records(URB_FUNCTION_VENDOR_INTERFACE).size(), 1u);
    EXPECT_TRUE(Resets().empty());
}

TEST_F(UsbLibraryTest, AHungControlTransferIsCancelledAfterOneSecondAndTriedAgain)
{
    Bring();
    plugged->HangControl(1);
    int64_t start = Now();
    EXPECT_TRUE(usb->m_VendorInterfaceRequestOUT(1, 0x0101, 2, nullptr, 0));
    std::vector<UrbRecord> vendor = Records(URB_FUNCTION_VENDOR_INTERFACE);
    ASSERT_EQ(vendor.size(), 2u);
    EXPECT_EQ(vendor[0].submitted, start);
    EXPECT_EQ(vendor[0].completed, start + kSecond) << "cancelled when the second is up";
    EXPECT_EQ(vendor[0].usbdStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(vendor[1].usbdStatus, USBD_STATUS_SUCCESS);
    ASSERT_EQ(Resets().size(), 1u);
    EXPECT_NE(DebugOutput().find("STATUS_TIMEOUT\n"), std::string::npos);

    // A device that never answers costs ten seconds of waiting and nine pauses.
    host->ClearLog();
    plugged->HangControl(10);
    start = Now();
    EXPECT_FALSE(usb->m_VendorInterfaceRequestOUT(1, 0x0101, 2, nullptr, 0));
    int64_t took = Now() - start;
    vendor = Records(URB_FUNCTION_VENDOR_INTERFACE);
    ASSERT_EQ(vendor.size(), 10u);
    for (const UrbRecord& r : vendor) EXPECT_EQ(r.completed - r.submitted, kSecond);
    int64_t resetTime = 0;
    for (const UrbRecord& r : Resets()) resetTime += r.completed - r.submitted;
    EXPECT_EQ(took, 19 * kSecond + resetTime);
    EXPECT_GT(took, 19 * kSecond);
    EXPECT_LT(took, 19 * kSecond + kSecond / 2) << "about 19 seconds";
}

TEST_F(UsbLibraryTest, AShortBulkOutReportsWhatWasWritten)
{
    Bring();
    std::vector<uint8_t> data = kwsim::usb::test::Bytes(200);
    plugged->ShortBulk(0x04, 70);
    ULONG written = 0;
    EXPECT_FALSE(usb->m_SendData(2, data.data(), (ULONG)data.size(), &written));
    EXPECT_EQ(written, 70u);
    plugged->FailBulk(0x04, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_FALSE(usb->m_SendData(2, data.data(), (ULONG)data.size(), &written));
    EXPECT_EQ(written, 0u);
}

TEST_F(UsbLibraryTest, TheSpareRequestsReleaseCancelsTheTransferInIt)
{
    Bring();
    ASSERT_TRUE(usb->m_AllocateSpareBulkRequest());
    model->SetRoom(0x04, 0);  // the device takes nothing: the transfer stays in flight
    std::vector<uint8_t> data = kwsim::usb::test::Bytes(100);
    BOOLEAN sent = TRUE;
    ULONG written = 1;
    ThreadRef sender = StartThread("sender", [&] { sent = usb->m_SendData(2, data.data(), 100, &written); });
    Delay(5 * kMs);
    ASSERT_EQ(Records(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size(), 1u);
    int64_t before = Now();
    usb->m_FreeSpareBulkRequest();
    EXPECT_EQ(Now(), before) << "the cancelled transfer came back at once";
    Join(sender);
    EXPECT_FALSE(sent);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Records(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)[0].usbdStatus, USBD_STATUS_CANCELED);
    EXPECT_FALSE(usb->m_HasSpareBulkRequest());

    // Without the spare a transfer has a request of its own.
    model->SetRoom(0x04, 1000);
    EXPECT_TRUE(usb->m_SendData(2, data.data(), 100, &written));
    EXPECT_EQ(model->Received(0x04), data);
}

TEST_F(UsbLibraryTest, AtDispatchLevelRequestsWithoutReturnDataAreSentLaterFromACopy)
{
    Bring();
    UCHAR bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UCHAR status[2] = {};
    ULONG written = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    BOOLEAN out = usb->m_VendorInterfaceRequestOUT(1, 0x0202, 2, nullptr, 0);
    BOOLEAN bulk = usb->m_SendData(2, bytes, sizeof bytes, &written);
    BOOLEAN in = usb->m_VendorInterfaceRequestIN(5, 0, 2, status, sizeof status);
    std::memset(bytes, 0xEE, sizeof bytes);  // the caller's buffer is gone as far as the USB stack is concerned
    size_t submittedMeanwhile = host->Log().size();
    KeLowerIrql(old);

    EXPECT_TRUE(out);
    EXPECT_TRUE(bulk);
    EXPECT_EQ(written, 8u) << "handed over whole";
    EXPECT_FALSE(in) << "data coming back cannot reach a caller that does not wait";
    EXPECT_EQ(submittedMeanwhile, 0u) << "nothing was sent at DISPATCH_LEVEL";
    Delay(10 * kMs);
    std::vector<SetupPacket> controls = model->Controls();
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].bRequest, 1);
    EXPECT_EQ(controls[0].wValue, 0x0202);
    EXPECT_EQ(model->Received(0x04), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

// Before WDM 1.10 (Windows Me) requests above PASSIVE_LEVEL go through the passive-level queue.
class UsbLibraryOnWindowsMeTest : public OnWindows<4, 90, UsbLibraryTest> {};

TEST_F(UsbLibraryOnWindowsMeTest, AnApcLevelRequestRunsAtPassiveLevelAndAWriteMayTakeItsTime)
{
    Bring();
    model->SetRoom(0x04, 0);
    ScheduleAt(Now() + 2 * kSecond, [this] { model->SetRoom(0x04, 1000); });
    std::vector<uint8_t> data = kwsim::usb::test::Bytes(100);
    ULONG written = 0;
    int64_t start = Now();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    BOOLEAN sent = usb->m_SendData(2, data.data(), 100, &written);
    KeLowerIrql(old);
    EXPECT_TRUE(sent) << "a bulk-out is not cut off after a second";
    EXPECT_EQ(written, 100u);
    EXPECT_GT(Now() - start, 2 * kSecond);
    std::string debug = DebugOutput();
    EXPECT_NE(debug.find("Block here\n"), std::string::npos);
    EXPECT_NE(debug.find("UnBlock here\n"), std::string::npos);
}

}  // namespace
}  // namespace kwsim::test
