#!/usr/bin/env bash
# Every test of a build folder under Wine (scripts/lib/harness.py sets up
# the display, the prefixes and the service); extra arguments go to ctest.
# A failed test runs once more: Wine has been seen to end a process before
# it started.
set -euo pipefail
BUILD="$(cd "${1:?usage: run-tests.sh BUILD_DIR [ctest args]}" && pwd)"
shift
export PYTHONPATH
PYTHONPATH="$(cd "$(dirname "$0")/../scripts/lib" && pwd)"
exec python3 -m harness "$BUILD" --prefix prefix --scaled prefix-150 -- \
    ctest --test-dir "$BUILD" --output-on-failure --no-tests=error --repeat until-pass:2 "$@"
