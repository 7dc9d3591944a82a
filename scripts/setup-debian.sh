#!/usr/bin/env bash
# Installs what building and testing Quorvel needs on Debian 12. Idempotent.
#   scripts/setup-debian.sh            native build and tests
#   scripts/setup-debian.sh --windows  also the MinGW-w64 cross compiler and Wine
set -euo pipefail

pkgs=(cmake ninja-build g++ make pkg-config git
      libgtest-dev libgmock-dev googletest libbenchmark-dev
      clang libclang-rt-14-dev clang-format
      libudev-dev libcli11-dev nlohmann-json3-dev)
if [[ "${1:-}" == "--windows" ]]; then
    pkgs+=(g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 socat)
fi

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
