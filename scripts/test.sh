#!/usr/bin/env bash
# The test command: installs what is missing, builds with the sanitizers and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

BUILD_DIR="${BRINDLE_BUILD_DIR:-build}"
JOBS="${BRINDLE_JOBS:-$(nproc)}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRINDLE_SANITIZE=ON -DBRINDLE_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"

# --- Quillon.dll for 32-bit and 64-bit Windows (mingw-w64), export names checked; the DLL only, no tests.
bash quillon/build-windows.sh
# Marrowgate.dll and marrowgate-host.exe likewise.
bash marrowgate/build-windows.sh
# ---

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
