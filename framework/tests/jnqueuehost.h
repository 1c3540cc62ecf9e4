// A small serial port for tests of the request queues: a driver object of the test with one
// device whose CJnDevice owns the queues and uses them as the port driver and the
// functional device do. Applications reach it through kwsim::AppFile; the test plays the
// bus side (received data, "written" reports, the transmitter) through the host.
//
//   IRP_MJ_CREATE          per-open write accounting reset, both queues switched on
//   IRP_MJ_CLEANUP         every read, write, flush, Xoff-counter and wait request
//                          cancelled, buffered data discarded
//   IRP_MJ_READ / WRITE    zero length completes at once, else to the read / write queue
//   IRP_MJ_FLUSH_BUFFERS   held by the write queue
//   IOCTL_SERIAL_SET_TIMEOUTS, SET_WAIT_MASK, WAIT_ON_MASK, PURGE, XOFF_COUNTER
//
// Free of GoogleTest, so the benchmark uses it too.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "jndevice.h"
#include "kwplat/serial.h"
#include "simkernel/io.h"
#include "simkernel/sim.h"

namespace kwsim::test {

class QueueHost {
public:
    struct Chunk {
        int64_t at;
        std::string bytes;
    };
    struct Amount {
        int64_t at;
        ULONG newAmount, oldAmount;
        KIRQL irql;
    };
    struct XoffSend {
        int64_t at;
        UCHAR character;
    };

    explicit QueueHost(const char16_t* name = u"\\Device\\JnQueueHost0");
    ~QueueHost();
    QueueHost(const QueueHost&) = delete;
    QueueHost& operator=(const QueueHost&) = delete;

    PDEVICE_OBJECT device = nullptr;
    CJnDevice* jn = nullptr;
    CJnReadQueue& reads() { return jn->m_ReadQueue; }
    CJnWriteQueue& writes() { return jn->m_WriteQueue; }
    CJnControlQueue& control() { return jn->m_ControlQueue; }

    // The bus side.
    void Receive(const std::string& bytes) { Receive(bytes.data(), (ULONG)bytes.size()); }
    void Receive(const void* bytes, ULONG length);  // a received chunk, at the caller's level
    void Written(ULONG bytes) { writes().m_DataWritten(bytes); }
    void RaiseEvents(ULONG events);           // the port's event sources
    std::atomic<bool> transmitterEmpty{true};
    std::atomic<bool> writeCallbackResult{true};
    // Runs inside the write callback, before it answers (set while nothing is sending).
    std::function<void()> duringWrite;
    bool deleteWrites = false;  // the bench: the write callback only frees the buffer

    // What the queues did (under mu).
    std::mutex mu;
    std::vector<Chunk> chunks;            // buffers handed to the write callback
    std::vector<int64_t> transmitterQueries;
    std::vector<Amount> amounts;          // data-amount notifications
    std::vector<XoffSend> xoffSent;
    std::string SentBytes();                // all bytes handed over, in order
    std::vector<size_t> ChunkSizes();
    std::vector<int64_t> Queries();
    std::vector<Amount> Amounts();
    std::vector<XoffSend> XoffSent();

private:
    static BOOLEAN sm_Write(PVOID context, CJnDataBuffer* buffer);
    static BOOLEAN sm_TransmitterEmpty(PVOID context);
    static void sm_Amount(PVOID context, ULONG newAmount, ULONG oldAmount);
    static BOOLEAN sm_SendXoff(PVOID context, UCHAR character);
};

}  // namespace kwsim::test
