#!/usr/bin/env bash
# Save and load of a .vtd disk script beside cat and cp of the same file, in one run.
# usage: bench/vtd_bench.sh [PATH_TO_vtd_bench]   (default: builds it in build-bench/, Release)
# Prints, per size, the best of three runs of each step and the ratios to cp and cat, then the
# scaling from 10,000 to 50,000 rows (linear work shows a time ratio close to the size ratio).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
bench="$(bench_program vtd_bench "${1:-}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
elapsed() { calc "$2 - $1"; }
min() { printf '%s\n' "$@" | sort -g | head -1; }

declare -A total bytes
for rows in 10000 50000; do
    file="$work/script_$rows.vtd"
    saves=() loads=() cats=() cps=()
    for run in 1 2 3; do
        line="$("$bench" save "$rows" "$file")"
        saves+=("$(echo "$line" | field seconds)")
        bytes[$rows]="$(echo "$line" | field bytes)"
        loads+=("$("$bench" load "$file" | field seconds)")
        t0="$(now)"; cat "$file" >/dev/null; t1="$(now)"
        cats+=("$(elapsed "$t0" "$t1")")
        rm -f "$work/copy.vtd"
        t0="$(now)"; cp "$file" "$work/copy.vtd"; t1="$(now)"
        cps+=("$(elapsed "$t0" "$t1")")
    done
    save="$(min "${saves[@]}")" load="$(min "${loads[@]}")" cat_s="$(min "${cats[@]}")" cp_s="$(min "${cps[@]}")"
    total[$rows]="$(calc "$save + $load")"
    printf '%6d rows, %d bytes: save %.3f s, load %.3f s, cat %.3f s, cp %.3f s\n' \
        "$rows" "${bytes[$rows]}" "$save" "$load" "$cat_s" "$cp_s"
    printf '        (save+load)/cp = %.2f   save/cp = %.2f   load/cat = %.2f\n' \
        "$(calc "${total[$rows]} / $cp_s")" "$(calc "$save / $cp_s")" \
        "$(calc "$load / $cat_s")"
    rm -f "$file" "$work/copy.vtd"
done
printf 'scaling 10,000 -> 50,000 rows: size x%.2f, save+load time x%.2f\n' \
    "$(calc "${bytes[50000]} / ${bytes[10000]}")" "$(calc "${total[50000]} / ${total[10000]}")"
