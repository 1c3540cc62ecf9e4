// Plugging devices: the PDOs a device gets, and what they answer to Plug and Play.
#include <cstring>

#include "usb_fixture.h"

namespace kwsim::usb::test {
namespace {

class EnumerationTest : public UsbTest {};

std::vector<std::u16string> MultiSz(const WCHAR* p)
{
    std::vector<std::u16string> out;
    while (*p) {
        out.emplace_back(p);
        p += out.back().size() + 1;
    }
    return out;
}

// IRP_MN_QUERY_ID as Plug and Play sends it; the answer is freed as it frees it.
std::vector<std::u16string> QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type)
{
    IrpResult r = SendPnp(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    if (!NT_SUCCESS(r.status)) return {};
    auto* text = reinterpret_cast<WCHAR*>(r.information);
    std::vector<std::u16string> ids =
        type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs ? MultiSz(text) : std::vector<std::u16string>{text};
    ExFreePool(text);
    return ids;
}

std::u16string QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type)
{
    IrpResult r = SendPnp(pdo, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceText.DeviceTextType = type;
        s->Parameters.QueryDeviceText.LocaleId = 0x409;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    if (!NT_SUCCESS(r.status)) return u"";
    auto* text = reinterpret_cast<WCHAR*>(r.information);
    std::u16string s(text);
    ExFreePool(text);
    return s;
}

TEST_F(EnumerationTest, CompositeDeviceGetsAChildPerInterfaceWithTheMiIdentifiers)
{
    PluggedDevice* quad = host->Plug(QuadDevice());
    ASSERT_NE(quad, nullptr);
    EXPECT_TRUE(quad->Composite());
    EXPECT_EQ(quad->Port(), 1);
    ASSERT_EQ(quad->InterfacePdos().size(), 4u);
    EXPECT_EQ(DeviceName(quad->Pdo()), u"\\Device\\USBPDO-0");
    EXPECT_EQ(quad->FunctionPdo(2), quad->InterfacePdo(2));
    EXPECT_EQ(quad->InterfacePdo(4), nullptr);
    // The composite parent configured the device before its children start.
    EXPECT_EQ(static_cast<TestDevice&>(quad->Model()).Events(),
              (std::vector<std::string>{"Attached", "SetConfiguration 1"}));

    struct Case {
        PDEVICE_OBJECT pdo;
        BUS_QUERY_ID_TYPE type;
        std::vector<std::u16string> ids;
    } cases[] = {
        {quad->Pdo(), BusQueryDeviceID, {u"USB\\VID_1209&PID_6011"}},
        {quad->Pdo(), BusQueryHardwareIDs, {u"USB\\VID_1209&PID_6011&REV_0800", u"USB\\VID_1209&PID_6011"}},
        {quad->Pdo(), BusQueryCompatibleIDs,
         {u"USB\\DevClass_00&SubClass_00&Prot_00", u"USB\\DevClass_00&SubClass_00", u"USB\\DevClass_00", u"USB\\COMPOSITE"}},
        {quad->Pdo(), BusQueryInstanceID, {u"6&1D5F2C39&0&1"}},
        {quad->InterfacePdo(0), BusQueryDeviceID, {u"USB\\VID_1209&PID_6011&MI_00"}},
        {quad->InterfacePdo(0), BusQueryHardwareIDs,
         {u"USB\\VID_1209&PID_6011&REV_0800&MI_00", u"USB\\VID_1209&PID_6011&MI_00"}},
        {quad->InterfacePdo(3), BusQueryHardwareIDs,
         {u"USB\\VID_1209&PID_6011&REV_0800&MI_03", u"USB\\VID_1209&PID_6011&MI_03"}},
        {quad->InterfacePdo(3), BusQueryCompatibleIDs,
         {u"USB\\Class_ff&SubClass_ff&Prot_ff", u"USB\\Class_ff&SubClass_ff", u"USB\\Class_ff"}},
    };
    for (const Case& c : cases) EXPECT_EQ(QueryId(c.pdo, c.type), c.ids) << "type " << c.type;

    // Children of one parent have distinct instance IDs that end in their interface.
    std::u16string i0 = QueryId(quad->InterfacePdo(0), BusQueryInstanceID)[0];
    std::u16string i1 = QueryId(quad->InterfacePdo(1), BusQueryInstanceID)[0];
    EXPECT_NE(i0, i1);
    EXPECT_EQ(i1.substr(i1.size() - 5), u"&0001");

    EXPECT_EQ(QueryText(quad->Pdo(), DeviceTextDescription), u"USB Composite Device");
    EXPECT_EQ(QueryText(quad->InterfacePdo(0), DeviceTextDescription), u"Quad Serial Adapter");
    EXPECT_EQ(QueryText(quad->InterfacePdo(1), DeviceTextDescription), u"Channel B") << "the interface string";
    EXPECT_EQ(QueryText(quad->InterfacePdo(2), DeviceTextLocationInformation), u"Port_#0001.Hub_#0001");

    // Plugged next to it, a single-interface device is one PDO on the next port.
    PluggedDevice* single = host->Plug(SingleDevice());
    ASSERT_NE(single, nullptr);
    EXPECT_FALSE(single->Composite());
    EXPECT_TRUE(single->InterfacePdos().empty());
    EXPECT_EQ(single->FunctionPdo(), single->Pdo());
    EXPECT_EQ(single->Port(), 2);
    EXPECT_EQ(QueryId(single->Pdo(), BusQueryHardwareIDs),
              (std::vector<std::u16string>{u"USB\\VID_1209&PID_6001&REV_0600", u"USB\\VID_1209&PID_6001"}));
    EXPECT_EQ(QueryId(single->Pdo(), BusQueryCompatibleIDs),
              (std::vector<std::u16string>{u"USB\\Class_ff&SubClass_ff&Prot_ff", u"USB\\Class_ff&SubClass_ff",
                                           u"USB\\Class_ff"}))
        << "a device of class 0 is known by its interface";
    EXPECT_EQ(QueryId(single->Pdo(), BusQueryInstanceID), std::vector<std::u16string>{u"KW000042"}) << "its serial number";
    EXPECT_EQ(QueryText(single->Pdo(), DeviceTextDescription), u"Serial Adapter");
    EXPECT_EQ(static_cast<TestDevice&>(single->Model()).Events(), std::vector<std::string>{"Attached"})
        << "a single device waits for its driver to configure it";

    // Their identifiers place the hardware keys where an installation writes a device's data.
    const std::u16string enumRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
    EXPECT_EQ(DeviceParametersKeyPath(quad->InterfacePdo(1)),
              enumRoot + u"USB\\VID_1209&PID_6011&MI_01\\" + i1 + u"\\Device Parameters");
    EXPECT_EQ(DeviceParametersKeyPath(single->Pdo()), enumRoot + u"USB\\VID_1209&PID_6001\\KW000042\\Device Parameters");
}

TEST_F(EnumerationTest, PdosAnswerCapabilitiesRelationsAndStateChanges)
{
    PluggedDevice* quad = host->Plug(QuadDevice());
    PluggedDevice* single = host->Plug(SingleDevice());
    struct Case {
        PDEVICE_OBJECT pdo;
        ULONG address;
        ULONG uniqueId;
    } cases[] = {{quad->Pdo(), 1, 0}, {quad->InterfacePdo(2), 2, 0}, {single->Pdo(), 2, 1}};
    for (const Case& c : cases) {
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof caps;
        caps.Version = 1;
        IrpResult r = SendPnp(c.pdo, IRP_MN_QUERY_CAPABILITIES,
                              [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(caps.Removable, 1u);
        EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
        EXPECT_EQ(caps.EjectSupported, 0u);
        EXPECT_EQ(caps.UniqueID, c.uniqueId) << "unique only with a serial number";
        EXPECT_EQ(caps.Address, c.address);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);

        r = SendPnp(c.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                    [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; });
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        auto* rel = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        ASSERT_EQ(rel->Count, 1u);
        EXPECT_EQ(rel->Objects[0], c.pdo);
        ObfDereferenceObject(rel->Objects[0]);
        ExFreePool(rel);

        r = SendPnp(c.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                    [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED) << "a PDO has no bus relations of its own";

        r = SendPnp(c.pdo, IRP_MN_QUERY_BUS_INFORMATION);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        auto* bus = reinterpret_cast<PPNP_BUS_INFORMATION>(r.information);
        EXPECT_EQ(bus->BusTypeGuid.Data1, 0x9D7DEBBCu);
        EXPECT_EQ(bus->LegacyBusType, PNPBus);
        ExFreePool(bus);

        for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                            IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL})
            EXPECT_EQ(SendPnp(c.pdo, minor).status, STATUS_SUCCESS) << "minor " << int(minor);
        EXPECT_EQ(SendPnp(c.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE).information, 0u);
        EXPECT_EQ(SendPnp(c.pdo, IRP_MN_QUERY_RESOURCES).status, STATUS_NOT_SUPPORTED);
        // The device is still there: removal leaves the PDO for Plug and Play to start again.
        EXPECT_EQ(SendPnp(c.pdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
        EXPECT_EQ(SendPnp(c.pdo, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        IrpResult power = SendIrp(c.pdo, IRP_MJ_POWER, IRP_MN_SET_POWER);
        EXPECT_EQ(power.status, STATUS_SUCCESS);
        EXPECT_EQ(SendIrp(c.pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE).status, STATUS_NOT_SUPPORTED);
    }

    // GET_PORT_STATUS reports the port enabled and connected.
    ULONG port = 0;
    IrpResult r = SendIrp(quad->InterfacePdo(0), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&](PIRP, PIO_STACK_LOCATION s) {
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        s->Parameters.Others.Argument1 = &port;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(EnumerationTest, PlugRefusesADeviceWithoutAValidDeviceDescriptor)
{
    struct Broken : TestDevice {
        using TestDevice::TestDevice;
        std::vector<uint8_t> DeviceDescriptor() override { return {18, 2, 0, 2}; }
    };
    auto broken = std::make_shared<Broken>(DeviceSpec{}, std::vector<ConfigurationSpec>{ConfigurationSpec{}});
    EXPECT_EQ(host->Plug(broken), nullptr);
    EXPECT_TRUE(host->Devices().empty());
}

}  // namespace
}  // namespace kwsim::usb::test
