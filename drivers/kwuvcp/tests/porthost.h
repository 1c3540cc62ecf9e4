// A framework device for tests of the port object, hosted as the port driver will host it:
// a device object of a test driver attached to the bus child, whose CJnDevice owns the
// read, write and control queues, with one CVCP on it.
//
//   IRP_MJ_CREATE     the write accounting starts again, then m_Connect (one open at a time)
//   IRP_MJ_CLEANUP    the wait, reads and writes cancelled, buffered data discarded
//   IRP_MJ_CLOSE      m_Disconnect
//   IRP_MJ_READ / WRITE / FLUSH_BUFFERS   to the read and write queues
//   IRP_MJ_DEVICE_CONTROL  a small serial dispatch: the error-abort gate, then the IOCTL_SERIAL_*
//                     codes the tests use, each to its CVCP operation
//
// The write queue hands its chunks to m_Write, asks m_CheckIsTransmitterIsEmpty before a
// flush completes and sends its Xoff character through m_SendSerialXoffCounterChar; the read
// queue's amount goes to m_DataAmountChangedInReadQueue while the port is open.
#pragma once

#include "jndevice.h"
#include "vcp.h"

namespace kwsim::test {

class PortHost {
public:
    // `index` names the test driver and its device ("\\Device\\KwUVcpHost<index>"), so that
    // several ports can live side by side.
    explicit PortHost(PDEVICE_OBJECT lower, unsigned index = 0);
    ~PortHost();
    PortHost(const PortHost&) = delete;
    PortHost& operator=(const PortHost&) = delete;

    // A new port object on the device, with its parameters: false when m_Init failed (the
    // object is kept, as a failed start keeps it until the removal deletes it).
    bool CreateVcp(CVcpParameters* parameters, ULONG portNumber = 1);
    // Deletes the port object, as the removal does.
    void DeleteVcp();

    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    CJnDevice* jn = nullptr;
    CVCP* vcp = nullptr;
    bool opened = false;
    // The trigger update the port driver makes at every open (the parameter set's trigger
    // levels to the device, before the connect). Off for tests that count the calls of an open.
    bool triggerUpdateAtOpen = false;
};

}  // namespace kwsim::test
