#!/usr/bin/env bash
# Checks the Windows images of the package with the mingw objdump:
#   *.sys  native kernel drivers: PE32+, subsystem native, an entry point, relocatable,
#          imports only from ntoskrnl.exe, HAL.dll, USBD.SYS (the USB driver library) and
#          WMILIB.SYS (the WMI library a WMI data provider links), no static constructors or TLS.
# Prints one line per image and exits non-zero when any image fails.
set -u
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
failed=0
checked=0

fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }

check_sys() {
    local f=$1 name
    name=$(basename "$f")
    local p h
    p=$("$objdump" -p "$f" 2>&1) || { fail "$name" "objdump cannot read it"; return; }
    h=$("$objdump" -h "$f" 2>&1)
    grep -q "file format pei-x86-64" <<<"$p" || { fail "$name" "not a PE32+ x86-64 image"; return; }
    grep -qE "^Subsystem[[:space:]]+00000001" <<<"$p" || { fail "$name" "subsystem is not native"; return; }
    local entry
    entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$p")
    [[ -n "$entry" && ! "$entry" =~ ^0+$ ]] || { fail "$name" "no entry point"; return; }
    local chars
    chars=$(awk '/^Characteristics/ {print $2; exit}' <<<"$p")
    (( (16#${chars#0x} & 1) == 0 )) || { fail "$name" "relocations stripped"; return; }
    local dlls bad
    dlls=$(awk '/DLL Name:/ {print $3}' <<<"$p" | sort -u)
    bad=$(grep -viE '^(ntoskrnl\.exe|hal\.dll|usbd\.sys|wmilib\.sys)$' <<<"$dlls" | grep -v '^$' || true)
    [[ -z "$bad" ]] || { fail "$name" "imports from $(tr '\n' ' ' <<<"$bad")"; return; }
    grep -qiE "ntoskrnl\.exe" <<<"$dlls" || { fail "$name" "does not import from ntoskrnl.exe"; return; }
    if grep -qE '\.ctors|\.CRT\$XC|\.init_array|\.tls' <<<"$h"; then
        fail "$name" "has static constructors or thread-local storage"
        return
    fi
    echo "ok   $name (imports: $(tr '\n' ' ' <<<"$dlls"))"
}

for f in "$@"; do
    checked=$((checked + 1))
    case "$f" in
    *.sys) check_sys "$f" ;;
    *) fail "$(basename "$f")" "unknown image kind" ;;
    esac
done
[[ $checked -gt 0 ]] || { echo "FAIL no images to check"; exit 1; }
exit $((failed > 0))
