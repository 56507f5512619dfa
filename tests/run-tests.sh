#!/usr/bin/env bash
# Runs every test of a build folder under Wine: a virtual display, a fresh
# throw-away prefix that trusts the test CA, a second one whose display runs
# at 150 % for the tests that read sizes, the local HTTPS test service, then
# ctest (scripts/lib/harness.py). Extra arguments go to ctest. A test that
# fails is run once more: Wine now and then fails to start a process at all
# (no output, a few milliseconds); both runs stay in the log.
set -euo pipefail
BUILD="$(cd "${1:?usage: run-tests.sh BUILD_DIR [ctest args]}" && pwd)"
shift
export PYTHONPATH
PYTHONPATH="$(cd "$(dirname "$0")/../scripts/lib" && pwd)"
exec python3 -m harness "$BUILD" --prefix prefix --scaled prefix-150 -- \
    ctest --test-dir "$BUILD" --output-on-failure --no-tests=error --repeat until-pass:2 "$@"
