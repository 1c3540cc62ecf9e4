// How fast received data goes through the read queue: 64 MB arrive in 62-byte buffers (the
// payload of one 64-byte USB packet) and are read by an application in 4 KB reads, two of
// them always outstanding, with the read timeouts all 0 (each read completes when full).
//
//   ReadQueue64MB        the whole receive path: each buffer is made as the bus makes it
//                        (a new CJnDataBuffer holding a copy of the payload) and handed to
//                        CJnDevice::m_DataForPendingReadArrived; reads are real IRPs from
//                        kwsim::AppFile, completed through the I/O manager
//   BufferOnly64MB       only making and deleting the same buffers, for the share of the
//                        path that is not the queue's
//
// Host time is reported as nanoseconds per byte and per buffer. Every read is checked
// against the data sent.
//
// Run: build/host/framework/jnreadqueue_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "jnqueuehost.h"
#include "simkernel/app.h"

using namespace kwsim;

namespace {

const size_t kTotal = 64u << 20;
const ULONG kPayload = 62;
const ULONG kRead = 4096;
const size_t kBuffers = (kTotal + kPayload - 1) / kPayload;

const std::vector<UCHAR>& Source()
{
    static std::vector<UCHAR> data = [] {
        std::vector<UCHAR> d(kTotal);
        for (size_t i = 0; i < kTotal; i++) d[i] = (UCHAR)(i * 7 + i / 251);
        return d;
    }();
    return data;
}

struct Booted {
    Booted()
    {
        BootOptions o;
        o.threadName = "bench";
        Boot(o);
        CJnMemoryPool::sm_AddReference();
    }
    ~Booted()
    {
        while (CJnMemoryPool::sm_ReferenceCount()) CJnMemoryPool::sm_Release();
        Shutdown();
    }
};

struct Reader {
    std::vector<UCHAR> buffer = std::vector<UCHAR>(kRead);
    AppRequest request{nullptr, 0};
    size_t offset = 0;  // of its data in the source
    bool active = false;
};

void ReadQueue64MB(benchmark::State& state)
{
    const std::vector<UCHAR>& source = Source();
    Booted sim;
    for (auto _ : state) {
        state.PauseTiming();
        bool ok = true;
        {
            test::QueueHost host;
            AppFile file;
            if (file.Open(host.device) != STATUS_SUCCESS) ok = false;
            Reader readers[2];
            size_t nextRead = 0;
            auto issue = [&](Reader& r) {
                r.offset = nextRead;
                nextRead += kRead;
                r.request = file.ReadAsync(r.buffer.data(), kRead);
                r.active = true;
            };
            for (Reader& r : readers) issue(r);
            size_t completed = 0;
            state.ResumeTiming();
            for (size_t sent = 0; sent < kTotal && ok;) {
                ULONG n = (ULONG)std::min<size_t>(kPayload, kTotal - sent);
                host.Receive(&source[sent], n);
                sent += n;
                for (Reader& r : readers) {
                    if (!r.active || !r.request.Done()) continue;
                    AppResult res = r.request.Result();
                    if (res.status != STATUS_SUCCESS || res.information != kRead ||
                        memcmp(r.buffer.data(), &source[r.offset], kRead) != 0)
                        ok = false;
                    completed++;
                    if (nextRead < kTotal) issue(r);
                    else r.active = false;
                }
            }
            state.PauseTiming();
            if (completed != kTotal / kRead) ok = false;
            file.Close();
            Settle();
        }
        if (!ok) state.SkipWithError("the reads did not get the data sent");
        state.ResumeTiming();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kTotal);
    state.counters["ns_per_byte"] =
        benchmark::Counter((double)state.iterations() * kTotal, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["ns_per_buffer"] =
        benchmark::Counter((double)state.iterations() * kBuffers, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BufferOnly64MB(benchmark::State& state)
{
    const std::vector<UCHAR>& source = Source();
    Booted sim;
    for (auto _ : state) {
        for (size_t sent = 0; sent < kTotal;) {
            ULONG n = (ULONG)std::min<size_t>(kPayload, kTotal - sent);
            CJnDataBuffer* b = CJnDataBuffer::sm_CreateCopy(&source[sent], n);
            benchmark::DoNotOptimize(b);
            b->m_Delete();
            sent += n;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kTotal);
    state.counters["ns_per_byte"] =
        benchmark::Counter((double)state.iterations() * kTotal, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["ns_per_buffer"] =
        benchmark::Counter((double)state.iterations() * kBuffers, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(ReadQueue64MB)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BufferOnly64MB)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
