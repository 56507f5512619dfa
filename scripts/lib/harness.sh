# Shared by the scripts that run Noctara or its tests under Wine: a virtual
# display, a booted template prefix, throw-away copies of it, and clean-up.
# Source it, set HARNESS_DIR (a folder in the build tree) first.

: "${HARNESS_DIR:?set HARNESS_DIR before sourcing harness.sh}"
HARNESS_SCRIPTS="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEDEBUG=-all
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
HARNESS_PIDS=()

harness_log() { echo "[harness] $*" >&2; }

# Polls a command until it succeeds or the deadline (seconds) passes.
harness_wait_for() {
    local deadline=$(( $(date +%s) + $1 )); shift
    until "$@" >/dev/null 2>&1; do
        if (( $(date +%s) >= deadline )); then return 1; fi
        sleep 0.2
    done
}

# Starts Xvfb unless a display is already usable.
harness_display() {
    if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local n
    for n in $(seq 90 140); do
        [[ -e /tmp/.X${n}-lock || -e /tmp/.X11-unix/X${n} ]] || break
    done
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp </dev/null >"$HARNESS_DIR/xvfb.log" 2>&1 &
    HARNESS_PIDS+=($!)
    export DISPLAY=":$n"
    harness_wait_for 20 xdpyinfo || { harness_log "Xvfb did not start"; return 1; }
}

# A booted prefix, made once per build folder; copies of it are cheap.
harness_template() {
    local template="$HARNESS_DIR/template"
    if [[ ! -f "$template/.booted" ]]; then
        harness_log "booting a Wine prefix (once per build folder)"
        rm -rf "$template"
        WINEPREFIX="$template" wineboot -u </dev/null >/dev/null 2>&1 || true
        WINEPREFIX="$template" wineserver -w
        touch "$template/.booted"
    fi
    HARNESS_TEMPLATE="$template"
}

# A fresh throw-away prefix at $1, copied from the template.
harness_fresh_prefix() {
    rm -rf "$1"
    cp -a "$HARNESS_TEMPLATE" "$1"
    rm -f "$1/.booted"
}

# Starts the prefix's wineserver and services detached from our pipes; a
# server started with ctest's pipes attached would hold them open for ever.
harness_start_wine() {
    export WINEPREFIX="$1"
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}

harness_stop_wine() {
    [[ -n "${WINEPREFIX:-}" ]] && wineserver -k >/dev/null 2>&1 || true
}

harness_cleanup() {
    harness_stop_wine
    local pid
    for pid in "${HARNESS_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
