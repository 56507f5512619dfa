#!/usr/bin/env bash
# Runs every benchmark of a build folder under the test harness.
set -euo pipefail
BUILD="$(cd "${1:?usage: bench.sh BUILD_DIR}" && pwd)"
here="$(dirname "$0")"
for bench in "$here"/bench-*.sh; do
    [[ -x "$bench" ]] && "$bench" "$BUILD"
done
