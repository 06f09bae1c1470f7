#!/usr/bin/env bash
# Installs every Debian package Brindle builds, tests and runs with. Safe to run again: it only installs what is missing.
set -euo pipefail

PACKAGES=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang-format git
    # tests and benchmarks
    googletest libgtest-dev libgmock-dev libbenchmark-dev python3
    # libraries
    libxml2-dev libzip-dev zlib1g-dev libssl-dev libpcre2-dev libsqlcipher-dev libpcsclite-dev
    libcurl4-openssl-dev libcurl4-doc
    # the downloader's tests and benchmark: a byte-range server, peers to compare with, and /usr/bin/time
    nginx aria2 time
    # the hash that checks stored download pieces (header only)
    libxxhash-dev
    # the card reader stand: PC/SC daemon and its virtual reader driver (the virtual card plugs in there)
    pcscd vsmartcard-vpcd
    # Windows cross-builds of the shared libraries
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    # peers used by the interoperability tests
    zip unzip openssl
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
