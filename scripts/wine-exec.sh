#!/usr/bin/env bash
# Runs a Windows executable under Wine in the prefix and display that
# scripts/run-tests.sh prepared (ctest's emulator for cross-built tests).
set -euo pipefail
if [[ -z "${WINEPREFIX:-}" || -z "${DISPLAY:-}" ]]; then
    echo "wine-exec.sh: WINEPREFIX and DISPLAY are unset; run tests with 'make test'" >&2
    exit 2
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
