// What the USB library's tests share: the simulated host with a four-channel test
// adapter, the framework pool in place, the "USB" description of channel B written
// into its function's hardware key, and readers of the host's request log.
#pragma once

#include <string>
#include <vector>

#include "jnmemorypool.h"
#include "kwusb.h"
#include "simkernel/io.h"
#include "usb_fixture.h"
#include "usbdescription.h"

namespace kwsim::test {

using kwsim::usb::UrbRecord;
using kwsim::usb::test::TestDevice;

class UsbLibraryTest : public kwsim::usb::test::UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        pool = CJnMemoryPool::sm_AddReference();
        ASSERT_NE(pool, nullptr);
        plugged = host->Plug(NewDevice());
        ASSERT_NE(plugged, nullptr);
        pdo = plugged->InterfacePdo(1);
        WriteUsbDescription(pdo, ChannelDescription(1, 0x83, 0x04));
        host->ClearLog();
    }
    void TearDown() override
    {
        delete usb;
        usb = nullptr;
        if (pool) {
            EXPECT_EQ(pool->m_RecordedCount(), 0u) << "framework allocations left behind";
        }
        while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
        UsbTest::TearDown();
    }

    // The adapter plugged: by default the scripted four-interface device.
    virtual std::shared_ptr<kwsim::usb::Device> NewDevice()
    {
        device = kwsim::usb::test::QuadDevice();
        model = device.get();
        return device;
    }

    // A CUsbDevice brought up on channel B.
    void Bring()
    {
        usb = new CUsbDevice();
        ASSERT_TRUE(usb->m_Initialize(pdo, pdo));
        host->ClearLog();
    }

    // Requests of a function submitted since the last Mark (pending ones included).
    std::vector<UrbRecord> Records(USHORT function) const
    {
        std::vector<UrbRecord> out;
        for (const UrbRecord& r : host->Log())
            if (r.id > mark_ && r.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == function) out.push_back(r);
        return out;
    }
    // Later readers see only the requests submitted from now on.
    void Mark()
    {
        std::vector<UrbRecord> log = host->Log();
        if (!log.empty()) mark_ = log.back().id;
    }
    std::vector<UrbRecord> Resets() const
    {
        std::vector<UrbRecord> out;
        for (const UrbRecord& r : host->Log())
            if (r.id > mark_ && r.ioctl == IOCTL_INTERNAL_USB_RESET_PORT) out.push_back(r);
        return out;
    }
    static void Delay(int64_t dt)
    {
        LARGE_INTEGER t = Relative(dt);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
    static int Count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
        return n;
    }

    CJnMemoryPool* pool = nullptr;
    std::shared_ptr<TestDevice> device;
    kwsim::usb::PluggedDevice* plugged = nullptr;
    TestDevice* model = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    CUsbDevice* usb = nullptr;
    uint64_t mark_ = 0;
};

}  // namespace kwsim::test
