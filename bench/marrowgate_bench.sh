#!/usr/bin/env bash
# The declaration run of Marrowgate (BSUsbDataToVtdXmlFile) against the virtual disk with 2,000 and 20,000
# a5 records: peak resident size per size (flat when rows are streamed), and the run's time beside the
# disk's own cost (the same a5 reads without a file) and cat writing the same bytes.
# usage: bench/marrowgate_bench.sh [PATH_TO_marrowgate_bench]   (default: builds it in build-bench/, Release)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
. "$here/common.sh"
bench="$(bench_program marrowgate_bench "${1:-}")"
work="$(mktemp -d)"
disk_pid=""
cleanup() { [ -n "$disk_pid" ] && kill "$disk_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }

export QUILLON_EMULATOR_SOCKET="$work/disk.sock"
export MARROWGATE_CONFIG="$work/none.ini"
for records in 2000 20000; do
    echo "{\"disk\": {\"records\": $records}}" >"$work/scenario.json"
    python3 "$root/tools/virtual-disk/virtual_disk.py" --socket "$QUILLON_EMULATOR_SOCKET" \
        --scenario "$work/scenario.json" &
    disk_pid=$!
    for _ in $(seq 100); do [ -S "$QUILLON_EMULATOR_SOCKET" ] && break; sleep 0.05; done
    file="$work/declare_$records.xml"
    line="$("$bench" bs "$file")"
    run="$(echo "$line" | field seconds)" bytes="$(echo "$line" | field bytes)" peak="$(echo "$line" | field peak_kb)"
    raw="$("$bench" raw "$records" | field seconds)"
    t0="$(now)"; cat "$file" >"$work/copy.xml"; t1="$(now)"
    cat_s="$(calc "$t1 - $t0")"
    kill "$disk_pid"; wait "$disk_pid" 2>/dev/null || true; disk_pid=""
    rm -f "$QUILLON_EMULATOR_SOCKET"
    writer="$(calc "$run - $raw")"
    echo "records=$records bytes=$bytes peak_kb=$peak run_s=$run disk_only_s=$raw writer_s=$writer cat_s=$cat_s" \
        "run/disk_only=$(calc "$run / $raw") run_MBps=$(calc "$bytes / $run / 1e6") cat_MBps=$(calc "$bytes / ($cat_s > 0 ? $cat_s : 1e-6) / 1e6")"
    declare "peak_$records=$peak"
done
echo "peak resident size 20000/2000: $(calc "$peak_20000 / $peak_2000")"
