#!/usr/bin/env bash
# Benchmarks the keep-awake engine under Wine (real one-second tick): stop
# latency and wake-ups per second while on and paused; asserts nothing. Wake-ups
# are also counted from outside, as voluntary context switches of the Wine
# process's Linux threads (under Wine, /proc/self is wineserver's).
set -euo pipefail
BUILD="$(cd "${1:?usage: bench-engine.sh BUILD_DIR}" && pwd)"
prefix="$BUILD/wine/bench-engine-prefix"
# Run again inside the harness (scripts/lib/harness.py): a display and a
# fresh prefix of its own, removed afterwards.
if [[ "${WINEPREFIX:-}" != "$prefix" ]]; then
    cmake --build "$BUILD" --target engine_bench >/dev/null
    status=0
    PYTHONPATH="$(dirname "$0")/lib" python3 -m harness "$BUILD" --prefix bench-engine-prefix -- "$0" "$BUILD" ||
        status=$?
    rm -rf "$prefix"
    exit "$status"
fi
output="$HARNESS_DIR/bench-engine.out"

voluntary_switches() {  # summed over the threads of process $1
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

rm -f "$output"
wine "$BUILD/bench/engine_bench.exe" </dev/null >"$output" 2>&1 &
bench=$!
summary=()
for window in active paused; do
    if ! timeout 60 sh -c 'until grep -q "$0" "$1"; do sleep 0.2; done' "window $window" "$output"; then
        summary+=("engine_bench: window $window not reached")
        break
    fi
    # Inside the benchmark's window, clear of its edges and of the measuring
    # thread's own wake-up half a second after the marker.
    sleep 1
    threads=$(ls /proc/"$bench"/task | wc -l)
    t0=$(date +%s.%N); s0=$(voluntary_switches "$bench")
    sleep 8
    t1=$(date +%s.%N); s1=$(voluntary_switches "$bench")
    summary+=("$(awk -v w="$window" -v d=$((s1 - s0)) -v t="$t1 - $t0" -v n="$threads" \
        'BEGIN { split(t, a, " - "); s = a[1] - a[2];
                 printf "engine_bench: voluntary context switches per second of the whole process (Linux threads: %d), %s: %.2f (%d in %.1f s)", n, w, d / s, d, s }')")
done
wait "$bench" || true
cat "$output"
printf '%s\n' "${summary[@]}"
