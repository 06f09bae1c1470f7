#!/usr/bin/env bash
# A 256 MiB file served by nginx on loopback, fetched in one run by TdsDownloader (two threads), curl -o
# and aria2c -x2 -s2, each under /usr/bin/time -v: best of three wall times, throughput and peak RSS, and
# the ratios to curl. Then a resume with about half the tasks missing against the full download.
# usage: bench/downloader_bench.sh [PATH_TO_downloader_bench]   (default: builds it in build-bench/, Release)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
bench="$(bench_program downloader_bench "${1:-}")"
for tool in nginx curl aria2c /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)"; exit 1; }
done
work="$(mktemp -d)"
nginx_pid=""
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
size=$((256 * 1024 * 1024))
mkdir -p "$work/files" "$work/nginx/temp" "$work/out"
head -c "$size" /dev/urandom >"$work/files/big.bin"
source_md5="$(md5sum "$work/files/big.bin" | cut -d' ' -f1)"

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
n="$work/nginx"
cat >"$n/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; user root;
pid $n/nginx.pid; error_log $n/error.log warn;
events { worker_connections 64; }
http {
  access_log off; sendfile on; keepalive_timeout 60; keepalive_requests 100000;
  client_body_temp_path $n/temp/body; proxy_temp_path $n/temp/proxy; fastcgi_temp_path $n/temp/fcgi;
  uwsgi_temp_path $n/temp/uwsgi; scgi_temp_path $n/temp/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; location /files/ { alias $work/files/; } }
}
CONF
nginx -p "$n/" -c "$n/nginx.conf" -e "$n/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.05
done
url="http://127.0.0.1:$port/files/big.bin"

# measure NAME COMMAND...: runs it under /usr/bin/time -v; sets wall (seconds) and rss (KiB).
measure() {
    /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; exit 1; }
    wall="$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/time.txt" |
        awk -F: '{ if (NF == 3) print $1 * 3600 + $2 * 60 + $3; else print $1 * 60 + $2 }')"
    rss="$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")"
}
check() { [ "$(md5sum "$1" | cut -d' ' -f1)" = "$source_md5" ] || { echo "$2: wrong file"; exit 1; }; }

declare -A best peak
run_tool() {
    local name="$1"
    best[$name]=""
    peak[$name]=0
    for _ in 1 2 3; do
        rm -rf "$work/out" && mkdir -p "$work/out"
        case "$name" in
        downloader) measure "$bench" fetch "$url" "$work/out/" 2 ;;
        curl) measure curl -s -o "$work/out/big.bin" "$url" ;;
        aria2c) measure aria2c -q -x2 -s2 --allow-overwrite=true --auto-file-renaming=false -d "$work/out" -o big.bin "$url" ;;
        esac
        check "$work/out/big.bin" "$name"
        if [ -z "${best[$name]}" ] || awk "BEGIN { exit !($wall < ${best[$name]}) }"; then best[$name]="$wall"; fi
        [ "$rss" -gt "${peak[$name]}" ] && peak[$name]="$rss"
    done
    printf '%-11s wall %6.2f s  %7.1f MiB/s  peak RSS %6.1f MiB\n' "$name" "${best[$name]}" \
        "$(calc "$size / 1048576 / ${best[$name]}")" "$(calc "${peak[$name]} / 1024")"
}

echo "256 MiB over loopback (best of three; peak RSS the largest of the three)"
for tool in downloader curl aria2c; do run_tool "$tool"; done
printf 'throughput downloader/curl = %.2f   downloader/aria2c = %.2f\n' \
    "$(calc "${best[curl]} / ${best[downloader]}")" "$(calc "${best[aria2c]} / ${best[downloader]}")"

# Resume: cancel a run once about half is stored, then time the run that fetches the rest.
rm -rf "$work/out" && mkdir -p "$work/out"
"$bench" partial "$url" "$work/out/" 2 >/dev/null
stored="$(grep -o 'FinishedSize="[0-9]*"' "$work/out/Download.xml" | grep -o '[0-9]*' | awk '{ s += $1 } END { print s }')"
missing=$((size - stored))
measure "$bench" fetch "$url" "$work/out/" 2
check "$work/out/big.bin" "resume"
printf 'resume: %.1f%% missing, wall %.2f s = %.2f of the full download, peak RSS %.1f MiB\n' \
    "$(calc "$missing * 100 / $size")" "$wall" "$(calc "$wall / ${best[downloader]}")" "$(calc "$rss / 1024")"
