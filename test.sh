#!/usr/bin/env bash
# The test command: installs what the machine lacks, builds the three presets (host,
# host-asan, windows), runs every test on host and host-asan, checks the Windows
# images, and ends with one line "N passed, M failed".
set -u
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
log=build/test-logs
mkdir -p "$log"

step() { printf '\n== %s\n' "$*"; }
count() {  # count <name> <ok>
    if [[ $2 == 1 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi
}

step "dependencies"
tools/setup-deps.sh || { echo "cannot install the build dependencies"; echo "0 passed, 1 failed"; exit 1; }

for preset in host host-asan windows; do
    step "build $preset"
    if cmake --preset "$preset" >"$log/configure-$preset.txt" 2>&1 &&
       cmake --build --preset "$preset" -j "$jobs" >"$log/build-$preset.txt" 2>&1; then
        count "build $preset" 1
    else
        tail -n 40 "$log/configure-$preset.txt" "$log/build-$preset.txt"
        count "build $preset" 0
    fi
done

for preset in host host-asan; do
    step "tests on $preset"
    [[ -d build/$preset ]] || continue
    out="$log/ctest-$preset.txt"
    (cd "build/$preset" && ctest -j "$jobs" --timeout 600 --output-on-failure) >"$out" 2>&1
    summary=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$out" | tail -n 1)
    if [[ -z "$summary" ]]; then
        tail -n 40 "$out"
        count "ctest $preset" 0
        continue
    fi
    echo "$summary"
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    passed=$((passed + t - f))
    failed=$((failed + f))
    if [[ $f -gt 0 ]]; then
        sed -n '/The following tests FAILED/,$p' "$out"
        grep -E -B2 -A30 '\*\*\*Failed|\*\*\*Exception|Subprocess aborted|\*\*\*Timeout' "$out" | head -n 200
    fi
done

step "windows images"
# The package's drivers, and the framework-based test images that prove the framework links.
images=(build/windows/package/*.sys build/windows/test-images/*.sys)
if tools/check/check-pe.sh "${images[@]}"; then count "windows images" 1; else count "windows images" 0; fi
# The checker must refuse what is not a driver: a user-mode program named .sys.
bad=build/windows/check-pe-selftest.sys
if printf 'int main(void){return 0;}\n' | x86_64-w64-mingw32-gcc -x c - -o "$bad" 2>/dev/null &&
   ! tools/check/check-pe.sh "$bad" >/dev/null; then
    count "image checker refuses a user-mode program" 1
else
    count "image checker refuses a user-mode program" 0
fi

step "32-bit serial interface layout"
# The ISerial record is a layout contract between separately built drivers; a 32-bit
# build must see the same header with its 32-bit offsets.
if g++ -m32 -std=c++17 -fsyntax-only -ffreestanding -fno-exceptions -fno-rtti -DKW_KERNEL=1 \
       -Iplatform/include -Iplatform/sim/kernel/include -Iframework/include -Idrivers/kwiserial \
       drivers/kwiserial/tests/kwiserial_layout32.cpp; then
    count "32-bit serial interface layout" 1
else
    count "32-bit serial interface layout" 0
fi

printf '\n%d passed, %d failed\n' "$passed" "$failed"
[[ $failed -eq 0 ]]
