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
harness_trust_test_ca
harness_test_service "$BUILD"

python3 "$here/../bench/footprint.py" --build "$BUILD"
