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
harness_trust_test_ca
harness_test_service "$BUILD"

harness_fresh_prefix "$HARNESS_DIR/prefix"
harness_start_wine "$HARNESS_DIR/prefix"
ctest --test-dir "$BUILD" --output-on-failure --no-tests=error "$@"
