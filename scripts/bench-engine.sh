#!/usr/bin/env bash
# Benchmarks the keep-awake engine under Wine (real one-second tick): stop
# latency and wake-ups per second while on and paused; asserts nothing. Wake-ups
# are also counted from outside, as voluntary context switches of the Wine
# process's Linux threads (under Wine, /proc/self is wineserver's).
set -euo pipefail
BUILD="$(cd "${1:?usage: bench-engine.sh BUILD_DIR}" && pwd)"
export HARNESS_DIR="$BUILD/wine"
mkdir -p "$HARNESS_DIR"
source "$(dirname "$0")/lib/harness.sh"
prefix="$HARNESS_DIR/bench-engine-prefix"
output="$HARNESS_DIR/bench-engine.out"
trap 'harness_cleanup; rm -rf "$prefix"' EXIT

cmake --build "$BUILD" --target engine_bench >/dev/null
harness_display
harness_template
harness_fresh_prefix "$prefix"
harness_start_wine "$prefix"

voluntary_switches() {  # summed over the threads of process $1
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

rm -f "$output"
wine "$BUILD/bench/engine_bench.exe" </dev/null >"$output" 2>&1 &
bench=$!
summary=()
for window in active paused; do
    if ! harness_wait_for 60 grep -q "window $window" "$output"; then
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
