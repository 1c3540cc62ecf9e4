#!/usr/bin/env bash
# Instructions per received byte through the port, the engine and the USB transport:
# callgrind collects only inside the drivers' entry points on the receive path (the bulk-in
# completion, the read's re-submission, the engine's deliveries and status reports, the
# application's read reaching the port's read queue), so the application, the chip and the
# line are not counted; what the drivers call in the simulated kernel and USB host is.
#
#   callgrind.sh [bytes] [rate]      (build/host/tests/system/kwsystem_bench must exist)
set -eu
bytes=${1:-1000000}
rate=${2:-921600}
bench=${KWSYSTEM_BENCH:-$(dirname "$0")/../../../build/host/tests/system/kwsystem_bench}
out=$(mktemp /tmp/kwsystem-callgrind.XXXXXX)
trap 'rm -f "$out"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$out" \
    --toggle-collect='CUsbTransport::sm_OnInterrupt*' \
    --toggle-collect='CUsbTransport::sm_RestartInterruptUrb*' \
    --toggle-collect='CFTDI1Port::sm_Deliver*' \
    --toggle-collect='CFTDI1Port::sm_Report*' \
    --toggle-collect='CJnReadQueue::m_QueueIrp*' \
    "$bench" receive "$bytes" "$rate" 2>/dev/null
# The simulated USB host's share: what the submissions into it cost, inclusive.
usb=$(callgrind_annotate --inclusive=yes --threshold=100 "$out" 2>/dev/null |
      awk '/:kwsim::usb::detail::HubDispatch\(/ { gsub(",", "", $1); print $1; exit }')
callgrind_annotate --threshold=100 "$out" 2>/dev/null | awk -v bytes="$bytes" -v rate="$rate" -v usb="${usb:-0}" '
    /PROGRAM TOTALS/ { gsub(",", "", $1); total = $1 }
    END {
        printf "%d bytes at %d baud: %.1f instructions per received byte, %.1f of them in the simulated USB host\n",
               bytes, rate, total / bytes, usb / bytes
    }'
