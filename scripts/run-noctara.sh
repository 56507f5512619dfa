#!/usr/bin/env bash
# Starts Noctara under Wine on a virtual desktop with a taskbar and a
# notification area (on Xvfb when there is no display), with the local update
# service answering its check, saves a screenshot of the desktop once the icon
# is up, and runs until Ctrl-C. OFFER=VERSION makes the service offer that
# version, so the update balloon and menu item show.
set -euo pipefail
BUILD="$(cd "${1:?usage: run-noctara.sh BUILD_DIR}" && pwd)"
# A prefix of its own that survives between runs, like a user's profile: run
# again inside it by the harness (scripts/lib/harness.py).
run="$BUILD/wine/run"
if [[ "${WINEPREFIX:-}" != "$run" ]]; then
    export PYTHONPATH
    PYTHONPATH="$(cd "$(dirname "$0")/lib" && pwd)"
    exec python3 -m harness "$BUILD" --prefix run --keep ${OFFER:+--offer "$OFFER"} -- "$0" "$BUILD"
fi

wine explorer /desktop=Noctara,1024x768 "$(winepath -w "$BUILD/Noctara.exe")" </dev/null >"$HARNESS_DIR/run.log" 2>&1 &
if timeout 30 sh -c 'until xdotool search --name "^Noctara - Wine desktop$"; do sleep 0.2; done' >/dev/null 2>&1; then
    sleep 2  # let the taskbar paint the icon
    import -window root -crop 1024x768+0+0 +repage "$BUILD/screenshot.png" && echo "screenshot: $BUILD/screenshot.png"
else
    echo "the virtual desktop did not appear; see $HARNESS_DIR/run.log"
fi
echo "Noctara runs on DISPLAY=$DISPLAY; Ctrl-C ends it"
wait
