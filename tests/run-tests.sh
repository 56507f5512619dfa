#!/usr/bin/env bash
# Runs every test of a build folder under Wine: a virtual display, a fresh
# throw-away prefix that trusts the test CA, the local HTTPS test service,
# then ctest. Extra arguments go to ctest.
set -euo pipefail
BUILD="$(cd "${1:?usage: run-tests.sh BUILD_DIR [ctest args]}" && pwd)"
shift
export HARNESS_DIR="$BUILD/wine"
mkdir -p "$HARNESS_DIR"
here="$(dirname "$0")"
source "$here/../scripts/lib/harness.sh"
source "$here/../scripts/lib/service.sh"
scaled="$HARNESS_DIR/prefix-150"
trap 'WINEPREFIX="$scaled" wineserver -k >/dev/null 2>&1; harness_cleanup' EXIT

harness_display
harness_template
service_start "$BUILD"
# A second prefix whose display runs at 150 % (144 dots per inch), set before
# its Wine starts; the tests that read sizes run there too.
harness_fresh_prefix "$scaled"
awk '{ print } /^\[Control Panel\\\\Desktop\] / { print "\"LogPixels\"=dword:00000090" }' "$HARNESS_TEMPLATE/user.reg" \
    >"$scaled/user.reg"
harness_start_wine "$scaled"
harness_fresh_prefix "$HARNESS_DIR/prefix"
harness_start_wine "$HARNESS_DIR/prefix"
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error "$@"
