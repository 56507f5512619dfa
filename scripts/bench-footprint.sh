#!/usr/bin/env bash
# Noctara's footprint beside a minimal tray program (bench/baseline.cpp),
# both built with the same toolchain, options and resources and run under the
# same Wine at the same time: exe size and imports, start-up time, memory, CPU
# and wake-ups active and paused once the update check has reported, and the
# UI's answer while the service stalls. Takes about four minutes. A
# measurement, not a test: nothing here fails on a missed goal.
set -euo pipefail
BUILD="$(cd "${1:?usage: bench-footprint.sh BUILD_DIR}" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
cmake --build "$BUILD" --target Noctara Baseline probe >/dev/null
export PYTHONPATH="$here/lib"
python3 "$here/../bench/footprint.py" --build "$BUILD"
