// How a channel trades latency for USB traffic: the chip sends what it received when a
// bulk-in read is full or when its latency timer expires, so short timers and small
// reads deliver sooner and cost more transfers. After every baud-rate change the engine
// picks the latency timer (1..255 ms) and the read size (64..4096 bytes, whole packets)
// by the device's policy.
//
// Pure arithmetic in 32-bit unsigned integers; every division drops its remainder.
#pragma once

#include "kwplat/kernel.h"

#define FTDI_POLICY_SPECIFIC_LATENCY 0  // the longest delay the user accepts, fine-tuned
#define FTDI_POLICY_LOW_CPU_USAGE 1     // packets per read, fine-tuned

#define FTDI_DEFAULT_MAXIMUM_LATENCY 1040
#define FTDI_MAXIMUM_FINE_TUNING 256       // the scale is 257 steps
#define FTDI_MINIMUM_RX_TRANSFER_SIZE 64
#define FTDI_MAXIMUM_RX_TRANSFER_SIZE 4096
// Milliseconds in which one packet of payload (62 bytes of 10 bits) arrives at 1 baud.
#define FTDI_PACKET_MILLISECOND_BAUD 620000UL

struct FTDI_LATENCY_SETTING {
    ULONG ulLatency;         // milliseconds, 1..255
    ULONG ulRxTransferSize;  // bytes, a multiple of 64 from 64 to 4096
};

// Low CPU usage: fine tuning 0 gives the largest setting (255 ms, 4096 bytes); 1..256
// choose fewer packets per read the higher they go.
FTDI_LATENCY_SETTING FtdiLowCpuUsagePolicy(ULONG ulBaudRate, ULONG ulFineTuning);
// Specific latency time: data waits at most ulMaximumLatency ms; fine tuning 0..256
// moves from many packets per read (0) towards the fewest.
FTDI_LATENCY_SETTING FtdiSpecificLatencyPolicy(ULONG ulMaximumLatency, ULONG ulBaudRate, ULONG ulFineTuning);

// The two inputs the registry may hold out of range, made usable: a maximum latency of 0
// (it would divide by zero) is the default, fine tuning above the scale is its top.
ULONG FtdiUsableMaximumLatency(ULONG ulMaximumLatency);
ULONG FtdiUsableFineTuning(ULONG ulFineTuning);
