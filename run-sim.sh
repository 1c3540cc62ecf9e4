#!/usr/bin/env bash
# The main job: build the host preset if needed and start the simulated PC.
set -u
cd "$(dirname "$0")"
tools/setup-deps.sh || exit 1
cmake --preset host >/dev/null && cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" --target tarvo-sim >/dev/null || exit 1
exec build/host/tools/tarvo-sim/tarvo-sim "$@"
