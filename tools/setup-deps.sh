#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any are missing.
set -u
packages=(cmake ninja-build g++ g++-multilib googletest libgmock-dev libgtest-dev libbenchmark-dev
          g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q >/dev/null || exit 1
$sudo apt-get install -y -q "${missing[@]}" >/dev/null || exit 1
