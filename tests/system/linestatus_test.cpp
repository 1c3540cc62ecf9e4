// Line errors from the serial line reach the application as line status: the error word
// of GET_COMMSTATUS, the events of WAIT_ON_MASK and, with LSR/MST insertion on, the
// status escape in the data. A peer that breaks, forces an error, or speaks at another
// rate or parity provokes them.
#include "systemtest.h"

namespace kwsim::test {
namespace {

using kwsim::wire::Frame;
using kwsim::wire::Parity;
using kwsim::wire::Peer;

using LineStatusTest = SystemTest;

TEST_F(LineStatusTest, BreakParityAndFramingErrorsReachThePortAsLineStatus)
{
    constexpr UCHAR kEscape = 0xFF;
    struct Case {
        const char* name;
        std::function<void(Peer&)> provoke;  // the port and, until then, the peer run 9600 8E1
        ULONG error, event;
        UCHAR lsr;  // the status byte's error bit in the escape sequence
    };
    const Frame port8E1 = Frame::Of(9600, 8, Parity::Even);
    const Case cases[] = {
        {"break", [](Peer& p) { p.Break(20 * kMs); }, SERIAL_ERROR_BREAK, SERIAL_EV_BREAK, SERIAL_LSR_BI},
        {"forced parity error", [](Peer& p) { p.Send({'p'}, kwsim::wire::kForceParityError); },
         SERIAL_ERROR_PARITY, SERIAL_EV_ERR, SERIAL_LSR_PE},
        {"forced framing error", [](Peer& p) { p.Send({'f'}, kwsim::wire::kForceFramingError); },
         SERIAL_ERROR_FRAMING, SERIAL_EV_ERR, SERIAL_LSR_FE},
        // Half the rate: a zero holds the line at space where the stop bit is looked for.
        {"peer at half the rate",
         [](Peer& p) {
             p.SetFrame(Frame::Of(4800, 8, Parity::Even));
             p.Send({0x00});
         },
         SERIAL_ERROR_FRAMING, SERIAL_EV_ERR, SERIAL_LSR_FE},
        // Odd parity against even: every byte's parity bit is wrong.
        {"peer with odd parity",
         [](Peer& p) {
             p.SetFrame(Frame::Of(9600, 8, Parity::Odd));
             p.Send({'o'});
         },
         SERIAL_ERROR_PARITY,
         SERIAL_EV_ERR, SERIAL_LSR_PE},
    };
    int channel = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SerialChannel& serial = adapter->Channel(channel);
        Peer& peer = PeerOn(channel, port8E1);
        Port& port = OpenPort(channel, 9600);
        ASSERT_EQ(port.Line(9600, 8, EVEN_PARITY), STATUS_SUCCESS);
        ASSERT_EQ(port.Timeouts(MAXULONG, 0, 0), STATUS_SUCCESS);
        ASSERT_EQ(port.Set(IOCTL_SERIAL_LSRMST_INSERT, kEscape), STATUS_SUCCESS);
        ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_BREAK | SERIAL_EV_ERR)), STATUS_SUCCESS);
        // The good bytes first: no error, nothing escaped.
        peer.Send({'o', 'k'});
        Delay(50 * kMs);
        EXPECT_EQ(port.Read(16), (std::vector<uint8_t>{'o', 'k'}));
        EXPECT_EQ(port.CommStatus().Errors, 0u);

        ULONG events = 0;
        AppRequest wait = port.file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events);
        Delay(5 * kMs);
        EXPECT_FALSE(wait.Done()) << "no event before the error";
        c.provoke(peer);
        Delay(100 * kMs);  // the error goes out in a packet at once; time for the break to end
        ASSERT_TRUE(wait.Done());
        AppResult r = wait.Wait();
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, sizeof events);
        EXPECT_TRUE(events & c.event) << "events 0x" << std::hex << events;

        SERIAL_STATUS status = port.CommStatus();
        EXPECT_TRUE(status.Errors & c.error) << "errors 0x" << std::hex << status.Errors;
        EXPECT_EQ(port.CommStatus().Errors, 0u) << "reading the status clears the errors";
        // The data carries the status escape: escape, LSR without data, the status byte.
        std::vector<uint8_t> data = port.Read(64);
        bool escaped = false;
        for (size_t i = 0; i + 2 < data.size(); i++)
            if (data[i] == kEscape && data[i + 1] == SERIAL_LSRMST_LSR_NODATA && (data[i + 2] & c.lsr)) escaped = true;
        EXPECT_TRUE(escaped) << "no status escape with bit 0x" << std::hex << int(c.lsr) << " in " << data.size()
                             << " bytes";
        EXPECT_TRUE(peer.Failures().empty());
        ASSERT_EQ(port.Close(), STATUS_SUCCESS);
        serial.Stop();
        channel = (channel + 1) % 4;
    }
}

}  // namespace
}  // namespace kwsim::test
