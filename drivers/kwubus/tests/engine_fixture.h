// What the channel engine's tests share: a bus device for channel B of a plugged
// four-channel adapter (its PDO, its "USB" description, its power requests), an engine
// created the way the bus driver's create request makes one, and the test port on its
// record; readers for the vendor requests in the host's log.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ftdi1port.h"
#include "kwubuschannel.h"
#include "kwusbfixture.h"
#include "testport.h"

namespace kwsim::test {

class TestBusDevice : public CKwUsbBusDevice {
public:
    explicit TestBusDevice(PDEVICE_OBJECT pdo) : pdo_(pdo) {}
    PDEVICE_OBJECT m_GetPhysicalDeviceObject() override { return pdo_; }
    BOOLEAN m_GotoPowerState(ULONG state) override
    {
        std::lock_guard<std::mutex> lk(mu_);
        power_.push_back(state);
        return TRUE;
    }
    std::vector<ULONG> Power()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return power_;
    }

private:
    PDEVICE_OBJECT pdo_;
    std::mutex mu_;
    std::vector<ULONG> power_;
};

// One vendor request as the chip saw it.
struct Vendor {
    uint8_t request;
    uint16_t value;
    uint16_t index;
    bool in = false;
    bool operator==(const Vendor&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Vendor& v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "{%u, 0x%04X, 0x%04X%s}", v.request, v.value, v.index, v.in ? ", in" : "");
    return os << buf;
}

class EngineTest : public UsbLibraryTest {
protected:
    void SetUp() override
    {
        UsbLibraryTest::SetUp();
        bus = std::make_unique<TestBusDevice>(pdo);
    }
    void TearDown() override
    {
        Release();
        UsbLibraryTest::TearDown();
    }

    // An engine for port `port` as the create request builds it.
    void Create(const KW_BUS_CHANNEL_PARAMETERS* parameters = nullptr, ULONG portNumber = 2)
    {
        ASSERT_EQ(KwUBusCreateChannel(bus.get(), portNumber, parameters, &engine, &record), STATUS_SUCCESS);
        port = std::make_unique<TestPort>(record);
        Mark();
    }
    void Release()
    {
        if (!engine) return;
        engine->m_DeInit();
        delete engine;
        engine = nullptr;
        record = nullptr;
        port.reset();
    }
    void CreateAndConnect()
    {
        Create();
        ASSERT_TRUE(port->Connect());
        Mark();
    }

    // The vendor requests sent since the log was last cleared.
    std::vector<Vendor> VendorRequests()
    {
        std::vector<Vendor> out;
        for (const UrbRecord& r : Records(URB_FUNCTION_VENDOR_INTERFACE))
            out.push_back({r.setup[1], uint16_t(r.setup[2] | r.setup[3] << 8), uint16_t(r.setup[4] | r.setup[5] << 8),
                           (r.setup[0] & 0x80) != 0});
        return out;
    }
    std::vector<Vendor> TakeVendorRequests()
    {
        std::vector<Vendor> v = VendorRequests();
        Mark();
        return v;
    }
    std::vector<UrbRecord> BulkIn()
    {
        std::vector<UrbRecord> out;
        for (const UrbRecord& r : Records(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER))
            if (r.In()) out.push_back(r);
        return out;
    }
    // Reads in flight now, whenever they were submitted.
    size_t PendingReads()
    {
        size_t n = 0;
        for (const UrbRecord& r : host->Log())
            n += r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                 r.In() && r.Pending();
        return n;
    }
    std::vector<UrbRecord> BulkOut()
    {
        std::vector<UrbRecord> out;
        for (const UrbRecord& r : Records(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER))
            if (!r.In()) out.push_back(r);
        return out;
    }

    static constexpr uint16_t kChannel = 2;  // channel B: interface 1, "&MI_01"
    std::unique_ptr<TestBusDevice> bus;
    CFTDI1Port* engine = nullptr;
    ISerial* record = nullptr;
    std::unique_ptr<TestPort> port;
};

}  // namespace kwsim::test
