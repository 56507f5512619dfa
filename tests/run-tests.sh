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
trap harness_cleanup EXIT

harness_display
harness_template
service_start "$BUILD"
harness_fresh_prefix "$HARNESS_DIR/prefix"
harness_start_wine "$HARNESS_DIR/prefix"
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error "$@"
