# Shared by the benchmark scripts (sourced): the benchmark program and small measuring helpers.

# bench_program TARGET [PATH]: PATH when given, else TARGET built in build-bench/ (Release); prints the path.
bench_program() {
    local target="$1" given="${2:-}"
    local root
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    if [ -n "$given" ]; then
        echo "$given"
        return
    fi
    cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDLE_BUILD_BENCH=ON \
        -DBRINDLE_BUILD_TESTS=OFF >/dev/null
    cmake --build "$root/build-bench" -j2 --target "$target" >/dev/null
    echo "$root/build-bench/bench/$target"
}

now() { date +%s.%N; }
# field NAME: the value of "NAME=value" in the line on standard input.
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
