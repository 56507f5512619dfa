#!/usr/bin/env bash
# Noctara's footprint beside a minimal tray program (bench/baseline.cpp),
# both built with the same toolchain and options and run under the same Wine
# at the same time: exe size and imports, memory, CPU and wake-ups active
# and paused, start-up time, and the UI's answer while the service stalls.
# Takes about five minutes. A measurement, not a test: nothing here fails on
# a missed goal.
set -euo pipefail
BUILD="$(cd "${1:?usage: bench-footprint.sh BUILD_DIR}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
for exe in Noctara.exe bench/Baseline.exe tests/e2e/e2e_driver.exe; do
    [[ -f "$BUILD/$exe" ]] || { echo "bench-footprint: $BUILD/$exe is missing; build first" >&2; exit 1; }
done
export HARNESS_DIR="$BUILD/wine"
mkdir -p "$HARNESS_DIR"
source "$here/lib/harness.sh"
trap harness_cleanup EXIT

harness_display
harness_template
export NOCTARA_TEST_CA_DIR="$HARNESS_DIR/ca"
"$here/make-test-ca.sh" "$NOCTARA_TEST_CA_DIR" >/dev/null
ca_id="$(sha1sum "$NOCTARA_TEST_CA_DIR/ca.der" | cut -d' ' -f1)"
if [[ "$(cat "$HARNESS_TEMPLATE/.ca-trusted" 2>/dev/null)" != "$ca_id" ]]; then
    WINEPREFIX="$HARNESS_TEMPLATE" "$here/trust-test-ca.sh" "$NOCTARA_TEST_CA_DIR" >/dev/null
    WINEPREFIX="$HARNESS_TEMPLATE" wineserver -w
    echo "$ca_id" >"$HARNESS_TEMPLATE/.ca-trusted"
fi
export NOCTARA_WINE_TEMPLATE="$HARNESS_TEMPLATE"
authority="$(sed -n 's/^NOCTARA_UPDATE_AUTHORITY:[A-Z]*=//p' "$BUILD/CMakeCache.txt")"
export NOCTARA_TEST_SERVICE_PORT="${authority##*:}"
rm -f "$HARNESS_DIR/bench-service.ready"
python3 "$here/test_service.py" --port "$NOCTARA_TEST_SERVICE_PORT" \
    --cert "$NOCTARA_TEST_CA_DIR/server.pem" --ready-file "$HARNESS_DIR/bench-service.ready" \
    </dev/null >"$HARNESS_DIR/bench-service.log" 2>&1 &
HARNESS_PIDS+=($!)
harness_wait_for 20 test -f "$HARNESS_DIR/bench-service.ready" || { harness_log "test service did not start"; exit 1; }

python3 "$here/../bench/footprint.py" --build "$BUILD"
