#!/usr/bin/env bash
# Runs every test of a build folder under Wine: a virtual display, a fresh
# throw-away prefix that trusts the test certificate, the local HTTPS test
# service, then ctest. Extra arguments go to ctest.
set -euo pipefail
BUILD="$(cd "${1:?usage: run-tests.sh BUILD_DIR [ctest args]}" && pwd)"; shift
export HARNESS_DIR="$BUILD/wine"
mkdir -p "$HARNESS_DIR"
source "$(dirname "$0")/lib/harness.sh"
trap harness_cleanup EXIT

harness_display
harness_template

# The test authority: trusted inside the template (so in every copy), never
# on this machine.
export NOCTARA_TEST_CA_DIR="$HARNESS_DIR/ca"
"$HARNESS_SCRIPTS/make-test-ca.sh" "$NOCTARA_TEST_CA_DIR" >/dev/null
# The marker names the CA it trusted: a renewed CA is trusted anew.
ca_id="$(sha1sum "$NOCTARA_TEST_CA_DIR/ca.der" | cut -d' ' -f1)"
if [[ "$(cat "$HARNESS_TEMPLATE/.ca-trusted" 2>/dev/null)" != "$ca_id" ]]; then
    WINEPREFIX="$HARNESS_TEMPLATE" "$HARNESS_SCRIPTS/trust-test-ca.sh" "$NOCTARA_TEST_CA_DIR" >/dev/null
    WINEPREFIX="$HARNESS_TEMPLATE" wineserver -w
    echo "$ca_id" >"$HARNESS_TEMPLATE/.ca-trusted"
fi
export NOCTARA_WINE_TEMPLATE="$HARNESS_TEMPLATE"

authority="$(sed -n 's/^NOCTARA_UPDATE_AUTHORITY:[A-Z]*=//p' "$BUILD/CMakeCache.txt")"
export NOCTARA_TEST_SERVICE_PORT="${authority##*:}"
rm -f "$HARNESS_DIR/service.ready"
python3 "$HARNESS_SCRIPTS/test_service.py" --port "$NOCTARA_TEST_SERVICE_PORT" \
    --cert "$NOCTARA_TEST_CA_DIR/server.pem" --ready-file "$HARNESS_DIR/service.ready" \
    </dev/null >"$HARNESS_DIR/service.log" 2>&1 &
HARNESS_PIDS+=($!)
harness_wait_for 20 test -f "$HARNESS_DIR/service.ready" || { harness_log "test service did not start"; exit 1; }

harness_fresh_prefix "$HARNESS_DIR/prefix"
harness_start_wine "$HARNESS_DIR/prefix"
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error "$@"
