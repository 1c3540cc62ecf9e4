// Bulk transfers in virtual time: 19 packets a frame for the whole device, shared by its
// endpoints; a short packet ends an IN transfer; a NAK parks the endpoint at no cost
// until the device is ready again.
#include <cstring>

#include "usb_fixture.h"

namespace kwsim::usb::test {
namespace {

class BulkTest : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        quad = host->Plug(QuadDevice());
        model = static_cast<TestDevice*>(&quad->Model());
        for (uint8_t k = 0; k < 4; k++) {
            Configured c = Configure(quad->InterfacePdo(k));
            ASSERT_EQ(c.status, STATUS_SUCCESS);
            for (auto& [ep, info] : c.pipes) pipes[ep] = info.PipeHandle;
        }
        // Configuration took frames: start the test on a frame boundary of its own.
        start = Now();
    }
    PDEVICE_OBJECT PdoOf(uint8_t ep) { return quad->InterfacePdo(uint8_t(((ep & 0x0F) - 1) / 2)); }

    PluggedDevice* quad = nullptr;
    TestDevice* model = nullptr;
    std::map<uint8_t, USBD_PIPE_HANDLE> pipes;
    int64_t start = 0;
};

TEST_F(BulkTest, PacketsShareNineteenAFrameAndEndWithTheTransferOrAShortPacket)
{
    struct Transfer {
        uint8_t ep;
        ULONG length;
        ULONG flags;
        std::vector<size_t> inPackets;  // what the device has ready, packet by packet
        int64_t done;                   // after the start
        ULONG transferred;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    };
    const ULONG in = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    struct Case {
        const char* what;
        std::vector<Transfer> transfers;
    } cases[] = {
        {"19 packets fit in frame 1", {{0x02, 19 * 64, 0, {}, 2 * kMs, 19 * 64}}},
        {"the 20th goes in frame 2", {{0x02, 19 * 64 + 1, 0, {}, 3 * kMs, 19 * 64 + 1}}},
        {"two endpoints share the frames", {{0x02, 19 * 64, 0, {}, 3 * kMs, 19 * 64}, {0x04, 19 * 64, 0, {}, 3 * kMs, 19 * 64}}},
        {"IN and OUT share them too",
         {{0x02, 640, 0, {}, 3 * kMs, 640}, {0x06, 640, 0, {}, 3 * kMs, 640}, {0x81, 640, in, std::vector<size_t>(10, 64), 3 * kMs, 640}}},
        {"a short packet ends an IN transfer", {{0x81, 4096, in, {64, 64, 64, 64, 44, 64}, 2 * kMs, 300}}},
        {"a zero-length packet ends one of whole packets", {{0x83, 4096, in, {64, 64, 0, 64}, 2 * kMs, 128}}},
        {"an IN transfer ends when it is full", {{0x85, 128, in, {64, 64, 64}, 2 * kMs, 128}}},
        {"a packet split to the room left", {{0x87, 100, in, {64, 64}, 2 * kMs, 100}}},
        {"short without USBD_SHORT_TRANSFER_OK is an error",
         {{0x81, 4096, USBD_TRANSFER_DIRECTION_IN, {64, 10}, 2 * kMs, 74, USBD_STATUS_ERROR_SHORT_TRANSFER}}},
        {"a zero-length OUT is one packet", {{0x08, 0, 0, {}, 2 * kMs, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<UrbRequest>> requests;
        std::vector<std::vector<uint8_t>> buffers;
        std::vector<URB> urbs(c.transfers.size());
        int64_t begin = Now();
        size_t outBefore[16] = {};
        for (size_t i = 0; i < c.transfers.size(); i++) {
            const Transfer& t = c.transfers[i];
            if (t.ep & 0x80) {
                uint8_t seed = 0;
                for (size_t n : t.inPackets) model->QueueIn(t.ep, Bytes(n, seed += 50));
                buffers.push_back(std::vector<uint8_t>(t.length, 0xEE));
            } else {
                buffers.push_back(Bytes(t.length, uint8_t(i)));
                outBefore[t.ep & 0x0F] = model->Received(t.ep).size();
            }
        }
        for (size_t i = 0; i < c.transfers.size(); i++) {
            const Transfer& t = c.transfers[i];
            urbs[i] = BulkUrb(pipes[t.ep], buffers[i].data(), t.length, t.flags);
            requests.push_back(std::make_unique<UrbRequest>(PdoOf(t.ep)));
            EXPECT_EQ(requests.back()->Send(&urbs[i]), STATUS_PENDING);
        }
        for (size_t i = 0; i < c.transfers.size(); i++) {
            const Transfer& t = c.transfers[i];
            SCOPED_TRACE(testing::Message() << "endpoint " << std::hex << int(t.ep));
            NTSTATUS st = requests[i]->Wait();
            EXPECT_EQ(st, USBD_SUCCESS(t.usbd) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
            EXPECT_EQ(urbs[i].UrbHeader.Status, t.usbd);
            EXPECT_EQ(requests[i]->completedAt - begin, t.done);
            EXPECT_EQ(urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength, t.transferred);
            if (t.ep & 0x80) {
                std::vector<uint8_t> expected;
                uint8_t seed = 0;
                for (size_t n : t.inPackets) {
                    std::vector<uint8_t> p = Bytes(n, seed += 50);
                    expected.insert(expected.end(), p.begin(), p.end());
                }
                expected.resize(t.transferred);
                EXPECT_EQ(std::vector<uint8_t>(buffers[i].begin(), buffers[i].begin() + t.transferred), expected);
            } else {
                std::vector<uint8_t> got = model->Received(t.ep);
                EXPECT_EQ(std::vector<uint8_t>(got.begin() + outBefore[t.ep & 0x0F], got.end()), buffers[i]);
            }
        }
        // Leftover IN data would spoil the next case.
        for (const Transfer& t : c.transfers)
            if (t.ep & 0x80) model->ClearIn(t.ep);
    }
    EXPECT_EQ(model->OutPackets(0x08), std::vector<size_t>{0}) << "the zero-length packet";
    std::vector<size_t> exact = model->OutPackets(0x02);
    EXPECT_EQ(exact.size(), 19u + 20 + 19 + 10) << "whole packets need no zero-length packet after them";
}

TEST_F(BulkTest, ANakedEndpointWaitsForTheDeviceAtNoCost)
{
    std::vector<uint8_t> buffer(4096);
    URB urb = BulkUrb(pipes[0x81], buffer.data(), 4096, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    UrbRequest r(PdoOf(0x81));
    r.Send(&urb);
    LARGE_INTEGER second = kwsim::test::Relative(kSec);
    KeDelayExecutionThread(KernelMode, FALSE, &second);
    EXPECT_FALSE(r.Done());
    EXPECT_EQ(model->Polls(0x81), 1) << "polled once, then parked: a second of idle frames cost nothing";
    EXPECT_EQ(Now() - start, kSec);

    // The device has data again: from a hardware callback at +1000.5 ms, as a chip would.
    ScheduleAt(start + kSec + kMs / 2, [this] { model->QueueIn(0x81, Bytes(10)); });
    r.Wait();
    EXPECT_EQ(r.completedAt - start, kSec + 2 * kMs) << "polled in the next frame, done at its end";
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
    EXPECT_EQ(model->Polls(0x81), 2);

    // OUT: room for 100 bytes, then NAK until the device makes room.
    model->SetRoom(0x02, 100);
    std::vector<uint8_t> data = Bytes(300);
    URB out = BulkUrb(pipes[0x02], data.data(), 300, 0);
    UrbRequest w(PdoOf(0x02));
    int64_t sent = Now();
    w.Send(&out);
    LARGE_INTEGER wait = kwsim::test::Relative(50 * kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_FALSE(w.Done());
    EXPECT_EQ(model->Received(0x02).size(), 64u) << "one packet fitted";
    model->SetRoom(0x02, 1000);
    w.Wait();
    EXPECT_EQ(w.completedAt - sent, 52 * kMs);
    EXPECT_EQ(model->Received(0x02), data);
}

}  // namespace
}  // namespace kwsim::usb::test
