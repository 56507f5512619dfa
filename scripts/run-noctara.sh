#!/usr/bin/env bash
# Starts Noctara under Wine on a virtual desktop with a taskbar and a
# notification area (on Xvfb when there is no display), saves a screenshot
# of the desktop once the icon is up, and runs until Ctrl-C.
set -euo pipefail
BUILD="$(cd "${1:?usage: run-noctara.sh BUILD_DIR}" && pwd)"
export HARNESS_DIR="$BUILD/wine"
mkdir -p "$HARNESS_DIR"
source "$(dirname "$0")/lib/harness.sh"
trap harness_cleanup EXIT INT TERM

harness_display
harness_template
# A prefix of its own that survives between runs, like a user's profile.
if [[ ! -d "$HARNESS_DIR/run" ]]; then
    harness_fresh_prefix "$HARNESS_DIR/run"
fi
harness_start_wine "$HARNESS_DIR/run"

wine explorer /desktop=Noctara,1024x768 "$(winepath -w "$BUILD/Noctara.exe")" </dev/null >"$HARNESS_DIR/run.log" 2>&1 &
HARNESS_PIDS+=($!)
if harness_wait_for 30 xdotool search --name '^Noctara - Wine desktop$'; then
    sleep 2  # let the taskbar paint the icon
    import -window root -crop 1024x768+0+0 +repage "$BUILD/screenshot.png" && harness_log "screenshot: $BUILD/screenshot.png"
else
    harness_log "the virtual desktop did not appear; see $HARNESS_DIR/run.log"
fi
harness_log "Noctara runs on DISPLAY=$DISPLAY; Ctrl-C ends it"
wait
