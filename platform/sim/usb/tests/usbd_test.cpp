// The USB driver library routines: parsing a configuration descriptor by its criteria
// and building the select-configuration request.
#include <cstring>

#include "kwplat/usb.h"
#include "simtest.h"
#include "simusb/descriptors.h"

namespace kwsim::usb {
namespace {

using test::SimTest;

// Interface 0 (two settings), 1 (a class interface with class descriptors), 2 (three
// endpoints).
std::vector<uint8_t> Configuration()
{
    ConfigurationSpec c;
    c.interfaces = {
        {0, 0, 0xFF, 0xFF, 0xFF, 0, {}, {{0x81}, {0x02}}},
        {0, 1, 0xFF, 0xFF, 0xFF, 0, {}, {}},
        {1, 0, 0x02, 0x02, 0x01, 0, {5, 0x24, 0, 0x10, 0x01}, {{0x83, 3, 16, 10}}},
        {2, 0, 0xFF, 0x00, 0x00, 0, {}, {{0x84}, {0x05}, {0x86}}},
    };
    return BuildConfigurationDescriptor(c);
}

PUSB_CONFIGURATION_DESCRIPTOR Cd(std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

class UsbdTest : public SimTest {};

TEST_F(UsbdTest, ParseFindsTheFirstInterfaceMatchingEveryGivenCriterion)
{
    std::vector<uint8_t> bytes = Configuration();
    PUSB_CONFIGURATION_DESCRIPTOR cd = Cd(bytes);
    ASSERT_EQ(cd->wTotalLength, bytes.size());
    ASSERT_EQ(cd->bNumInterfaces, 3);
    struct Case {
        LONG number, alternate, cls, sub, prot;
        int wantNumber, wantAlternate;  // -1: none
    } cases[] = {
        {-1, -1, -1, -1, -1, 0, 0},     {1, -1, -1, -1, -1, 1, 0},   {0, 1, -1, -1, -1, 0, 1},
        {-1, 1, -1, -1, -1, 0, 1},      {-1, -1, 2, -1, -1, 1, 0},   {-1, -1, 0xFF, 0, -1, 2, 0},
        {-1, -1, 0xFF, 0xFF, 0xFF, 0, 0}, {2, -1, -1, -1, 1, -1, -1}, {3, -1, -1, -1, -1, -1, -1},
        {1, 1, -1, -1, -1, -1, -1},
    };
    for (const Case& c : cases) {
        PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(cd, cd, c.number, c.alternate, c.cls, c.sub, c.prot);
        SCOPED_TRACE(testing::Message() << c.number << "/" << c.alternate << " " << c.cls << "/" << c.sub << "/" << c.prot);
        if (c.wantNumber < 0) {
            EXPECT_EQ(i, nullptr);
            continue;
        }
        ASSERT_NE(i, nullptr);
        EXPECT_EQ(i->bDescriptorType, USB_INTERFACE_DESCRIPTOR_TYPE);
        EXPECT_EQ(i->bInterfaceNumber, c.wantNumber);
        EXPECT_EQ(i->bAlternateSetting, c.wantAlternate);
    }

    // The search goes on from StartPosition: walking every interface in turn.
    std::vector<std::pair<int, int>> all;
    for (PVOID start = cd;;) {
        PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(cd, start, -1, -1, -1, -1, -1);
        if (!i) break;
        all.push_back({i->bInterfaceNumber, i->bAlternateSetting});
        start = reinterpret_cast<PUCHAR>(i) + i->bLength;
    }
    EXPECT_EQ(all, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {2, 0}}));
    auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
        USBD_ParseDescriptors(cd, cd->wTotalLength, cd, USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(endpoint->bEndpointAddress, 0x81);
}

TEST_F(UsbdTest, ParseStaysInsideTheDescriptorAndStopsAtABrokenOne)
{
    std::vector<uint8_t> bytes = Configuration();
    PUSB_CONFIGURATION_DESCRIPTOR cd = Cd(bytes);
    // wTotalLength is the limit, whatever lies behind it.
    std::vector<uint8_t> shortened = bytes;
    Cd(shortened)->wTotalLength = 9 + 9 + 7 + 7;  // the first interface and its endpoints
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(Cd(shortened), Cd(shortened), 0, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Cd(shortened), Cd(shortened), 0, 1, -1, -1, -1), nullptr);
    // A zero-length descriptor would never advance: the walk ends there.
    std::vector<uint8_t> broken = bytes;
    broken[9 + 9] = 0;  // the first endpoint descriptor
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(Cd(broken), Cd(broken), 0, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Cd(broken), Cd(broken), 2, -1, -1, -1, -1), nullptr);
    // A descriptor running past the end is not returned.
    std::vector<uint8_t> overlong = bytes;
    overlong[9] = 200;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Cd(overlong), Cd(overlong), -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
    (void)cd;
}

TEST_F(UsbdTest, CreateConfigurationRequestHasRoomForEveryInterfacesPipes)
{
    std::vector<uint8_t> bytes = Configuration();
    PUSB_CONFIGURATION_DESCRIPTOR cd = Cd(bytes);
    auto find = [&](LONG n, LONG a) { return USBD_ParseConfigurationDescriptorEx(cd, cd, n, a, -1, -1, -1); };
    struct Case {
        std::vector<std::pair<LONG, LONG>> interfaces;
        size_t length;
    } cases[] = {
        {{{0, 0}}, sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION)},
        {{{0, 0}, {1, 0}, {2, 0}}, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 6)},
        {{{0, 1}}, sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_PIPE_INFORMATION)},
        {{{0, 1}, {2, 0}}, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3)},
    };
    for (const Case& c : cases) {
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (auto [n, a] : c.interfaces) list.push_back({find(n, a), nullptr});
        list.push_back({nullptr, nullptr});
        size_t blocks = LivePoolBlocks().size();
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
        ASSERT_NE(urb, nullptr);
        SCOPED_TRACE(testing::Message() << c.interfaces.size() << " interfaces");
        auto live = LivePoolBlocks();
        ASSERT_EQ(live.size(), blocks + 1) << "one block from pool";
        EXPECT_EQ(live.back().type, NonPagedPool);
        EXPECT_GE(live.back().size, std::max(c.length, sizeof(struct _URB_SELECT_CONFIGURATION)));
        EXPECT_EQ(urb->UrbHeader.Length, c.length);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
        PUCHAR expected = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
        for (size_t k = 0; k < c.interfaces.size(); k++) {
            PUSBD_INTERFACE_INFORMATION info = list[k].Interface;
            ASSERT_EQ(reinterpret_cast<PUCHAR>(info), expected) << "interface " << k << " follows the one before";
            PUSB_INTERFACE_DESCRIPTOR d = list[k].InterfaceDescriptor;
            EXPECT_EQ(info->InterfaceNumber, d->bInterfaceNumber);
            EXPECT_EQ(info->AlternateSetting, d->bAlternateSetting);
            EXPECT_EQ(info->NumberOfPipes, d->bNumEndpoints);
            EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
            EXPECT_EQ(info->InterfaceHandle, nullptr);
            for (ULONG p = 0; p < info->NumberOfPipes; p++) {
                EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
                EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr);
                EXPECT_EQ(info->Pipes[p].PipeFlags, 0u);
            }
            expected += info->Length;
        }
        EXPECT_EQ(expected, reinterpret_cast<PUCHAR>(urb) + c.length) << "the interfaces fill the URB";
        ExFreePool(urb);
    }

    // Out of pool: no URB.
    USBD_INTERFACE_LIST_ENTRY list[] = {{find(0, 0), nullptr}, {nullptr, nullptr}};
    PoolFailNth(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
}

}  // namespace
}  // namespace kwsim::usb
