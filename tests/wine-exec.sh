#!/usr/bin/env bash
# ctest's emulator: Wine, in the prefix and on the display that
# tests/run-tests.sh prepared, never in the user's own prefix.
: "${WINEPREFIX:?run the tests with make test}"
exec wine "$@"
