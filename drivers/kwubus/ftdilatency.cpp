#include "ftdilatency.h"

namespace {

ULONG Clamp(ULONG value, ULONG low, ULONG high) { return value < low ? low : value > high ? high : value; }

FTDI_LATENCY_SETTING Setting(ULONG ulLatency, ULONG ulPackets)
{
    FTDI_LATENCY_SETTING s;
    s.ulLatency = Clamp(ulLatency, 1, 255);
    s.ulRxTransferSize = Clamp(ulPackets * 64, FTDI_MINIMUM_RX_TRANSFER_SIZE, FTDI_MAXIMUM_RX_TRANSFER_SIZE);
    return s;
}

}  // namespace

ULONG FtdiUsableMaximumLatency(ULONG ulMaximumLatency)
{
    return ulMaximumLatency ? ulMaximumLatency : FTDI_DEFAULT_MAXIMUM_LATENCY;
}

ULONG FtdiUsableFineTuning(ULONG ulFineTuning)
{
    return ulFineTuning > FTDI_MAXIMUM_FINE_TUNING ? FTDI_MAXIMUM_FINE_TUNING : ulFineTuning;
}

FTDI_LATENCY_SETTING FtdiLowCpuUsagePolicy(ULONG ulBaudRate, ULONG ulFineTuning)
{
    ULONG t = FtdiUsableFineTuning(ulFineTuning);
    if (t == 0) return Setting(255, 64);
    ULONG packets = ((257 - t) * 64) >> 8;
    if (packets == 0) packets = 1;
    // A rate of 0 (nothing programmed) waits longest.
    ULONG latency = ulBaudRate ? (packets + 1) * FTDI_PACKET_MILLISECOND_BAUD / ulBaudRate : 255;
    return Setting(latency, packets);
}

FTDI_LATENCY_SETTING FtdiSpecificLatencyPolicy(ULONG ulMaximumLatency, ULONG ulBaudRate, ULONG ulFineTuning)
{
    const ULONG m = FtdiUsableMaximumLatency(ulMaximumLatency);
    const ULONG t = FtdiUsableFineTuning(ulFineTuning);
    // So slow that one packet takes longer than the user waits: the longest timer.
    if (ulBaudRate < FTDI_PACKET_MILLISECOND_BAUD / m) return Setting(m < 255 ? m : 255, 64);
    if (m / 65 > 255) return Setting(255, 64);

    // Packets per read from e (the fewest whose timer fits the chip's 255 ms) up to u
    // (the first whose timer expires before one packet can arrive).
    ULONG lower = 0, upper = 0;
    for (ULONG f = 1; f <= 64; f++) {
        ULONG latency = m / (f + 1);
        if (latency > 255) continue;
        if (latency == 0) latency = 1;
        if (lower == 0) lower = f;
        if (ulBaudRate < FTDI_PACKET_MILLISECOND_BAUD / latency) {
            upper = f;
            break;
        }
    }
    if (upper == 0) upper = 64;
    ULONG packets = lower + (((upper - lower) * (257 - t)) >> 8);
    return Setting(m / (packets + 1), packets);
}
