#!/usr/bin/env bash
# Starts Noctara under Wine on a virtual desktop with a taskbar and a
# notification area (on Xvfb when there is no display), with the local update
# service answering its check, saves a screenshot of the desktop once the icon
# is up, and runs until Ctrl-C. OFFER=VERSION makes the service offer that
# version, so the update balloon and menu item show.
set -euo pipefail
BUILD="$(cd "${1:?usage: run-noctara.sh BUILD_DIR}" && pwd)"
export HARNESS_DIR="$BUILD/wine"
mkdir -p "$HARNESS_DIR"
source "$(dirname "$0")/lib/harness.sh"
source "$(dirname "$0")/lib/service.sh"
trap harness_cleanup EXIT INT TERM

harness_display
harness_template
service_start "$BUILD"
port="$(sed -n 's/^NOCTARA_UPDATE_AUTHORITY:[A-Z]*=.*://p' "$BUILD/CMakeCache.txt")"
# A prefix of its own that survives between runs, like a user's profile. The
# service's certificate is renewed now and then: trust the current one.
run="$HARNESS_DIR/run"
if [[ ! -d "$run" ]]; then
    harness_fresh_prefix "$run"
elif ! cmp -s "$HARNESS_DIR/service/trust.reg" "$run/drive_c/trust.reg"; then
    cp "$HARNESS_DIR/service/trust.reg" "$run/drive_c/trust.reg"
    WINEPREFIX="$run" wine reg import 'C:\trust.reg' </dev/null >/dev/null 2>&1
    WINEPREFIX="$run" wineserver -w
fi
if [[ -n "${OFFER:-}" ]]; then
    python3 - "$port" "$OFFER" <<'PY'
import json, ssl, sys, urllib.request
answer = json.dumps({"latest_version": sys.argv[2], "download_url": "https://localhost/dl/Noctara.zip"})
context = ssl._create_unverified_context()  # the service's own throw-away certificate
urllib.request.urlopen(f"https://localhost:{sys.argv[1]}/answer", f"200 whole {answer}".encode(), context=context)
PY
    harness_log "the update service offers $OFFER"
fi
harness_start_wine "$run"

wine explorer /desktop=Noctara,1024x768 "$(winepath -w "$BUILD/Noctara.exe")" </dev/null >"$HARNESS_DIR/run.log" 2>&1 &
HARNESS_PIDS+=($!)
if harness_wait_for 30 xdotool search --name '^Noctara - Wine desktop$'; then
    sleep 2  # let the taskbar paint the icon
    import -window root -crop 1024x768+0+0 +repage "$BUILD/screenshot.png" && harness_log "screenshot: $BUILD/screenshot.png"
else
    harness_log "the virtual desktop did not appear; see $HARNESS_DIR/run.log"
fi
harness_log "Noctara runs on DISPLAY=$DISPLAY; its update check asks the local service on localhost:$port"
harness_log "Ctrl-C ends it"
wait
